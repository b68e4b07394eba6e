#include "integrity/manifest_trust.h"
#include "integrity/sha256.h"
#include "integrity/signature_verifier.h"
#include "selfupdate/release_trust.h"
#include "signature_fixtures.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>

using namespace vesk::updater;
using namespace signature_fixtures;

namespace {

std::string signedManifest(const std::string& object, const std::string& algorithm,
                           const std::string& signature,
                           const std::string& blockKey = "a key the manifest brings along") {
    return "{\"manifest\": " + object + ", \"signature\": {\"algorithm\": \"" + algorithm +
           "\", \"signature\": \"" + signature + "\", \"public_key\": \"" + blockKey +
           "\", \"timestamp\": \"2026-03-01T10:00:00Z\", \"signer\": \"release team\"}}";
}

TrustVerdict judgeWith(const std::string& manifest, const std::string& key,
                       const std::optional<ReleaseIdentity>& record = std::nullopt) {
    return judgeManifestTrust(manifest, key, record, &SignatureVerifier::verifySignature);
}

} // namespace

TEST(ManifestTrust, EachWayOfFallingShortHasItsOwnReasonAndOnlyTheBuiltInKeyCounts) {
    std::string tampered = kManifestCompact;
    tampered.replace(tampered.find("2.4.0"), 5, "2.4.9");
    const std::string good = signedManifest(kManifestCompact, "RSA-SHA256", kManifestSignature);
    struct Case {
        const char* what;
        std::string manifest;
        std::string key;
        std::string line;
    };
    const std::string trustedLine =
        "Manifest trusted: signed with the built-in release key (version 2.4.0 build 118)";
    auto notTrusted = [](const std::string& reason) {
        return "Manifest not trusted: " + reason + "; nothing will be installed from it";
    };
    const Case cases[] = {
        {"signed with the built-in key", good, kPublicKey, trustedLine},
        {"short algorithm name", signedManifest(kManifestCompact, "RSA", kManifestSignature), kPublicKey,
         trustedLine},
        {"manifest's own key is the signer's but not built in",
         signedManifest(kManifestCompact, "RSA-SHA256", kManifestSignature, kPublicKey), kSmallExponentKey,
         notTrusted("its signature does not verify with the built-in release key")},
        {"tampered after signing", signedManifest(tampered, "RSA-SHA256", kManifestSignature), kPublicKey,
         notTrusted("its signature does not verify with the built-in release key")},
        {"no signature block", "{\"manifest\": " + kManifestCompact + "}", kPublicKey,
         notTrusted("it has no signature")},
        {"placeholder signature", signedManifest(kManifestCompact, "RSA-SHA256", "placeholder"), kPublicKey,
         notTrusted("its signature is a placeholder")},
        {"placeholder key beside a real signature",
         signedManifest(kManifestCompact, "RSA-SHA256", kManifestSignature, "placeholder-key"), kPublicKey,
         notTrusted("its signature is a placeholder")},
        {"algorithm in lower case", signedManifest(kManifestCompact, "rsa-sha256", kManifestSignature),
         kPublicKey, notTrusted("its signature algorithm is not RSA-SHA256")},
        {"Ed25519", signedManifest(kManifestCompact, "Ed25519", kManifestSignature), kPublicKey,
         notTrusted("its signature algorithm is not RSA-SHA256")},
        {"not JSON", "{\"manifest\": {", kPublicKey, notTrusted("it cannot be read")},
        {"signature block is a string", "{\"manifest\": {}, \"signature\": \"RSA\"}", kPublicKey,
         notTrusted("it cannot be read")},
        {"no manifest object",
         "{\"signature\": {\"algorithm\": \"RSA-SHA256\", \"signature\": \"" + kManifestSignature + "\"}}",
         kPublicKey, notTrusted("it cannot be read")},
    };
    for (const Case& c : cases) {
        const TrustVerdict verdict = judgeWith(c.manifest, c.key);
        EXPECT_EQ(trustVerdictLine(verdict), c.line) << c.what;
        EXPECT_EQ(verdict.signedText, verdict.trusted() ? kManifestCompact : "") << c.what;
    }
}

TEST(ManifestTrust, ReleaseOlderThanTheRecordIsRefusedAndOnlyANewerOneMovesTheRecord) {
    const std::string good = signedManifest(kManifestCompact, "RSA-SHA256", kManifestSignature);
    struct Case {
        const char* record;
        bool trusted;
        bool newer;
    };
    const Case cases[] = {
        {"2.4.0|118", true, false},                      // the same release again
        {"2.4.0|118|2026-03-01T09:00:00Z", true, false}, // an older record's time plays no part
        {"2.4.0|118|~", true, false},                    // nor can a forged one pin the record
        {"2.4|117|2027", true, true},                    // missing version part counts as 0
        {"2.10.0|1|", false, false},                     // 10 > 4 as numbers, not as text
        {"2.4.0|0119", false, false},
    };
    for (const Case& c : cases) {
        const TrustVerdict verdict = judgeWith(good, kPublicKey, parseReleaseRecord(c.record));
        EXPECT_EQ(verdict.trusted(), c.trusted) << c.record;
        EXPECT_EQ(verdict.newerThanRecord(), c.newer) << c.record;
    }
    const TrustVerdict older = judgeWith(good, kPublicKey, parseReleaseRecord("2.10.0|1|x"));
    EXPECT_EQ(notTrustedReason(older),
              "version 2.4.0 build 118 is older than the last trusted release, version 2.10.0 build 1");
    EXPECT_TRUE(older.signedText.empty());
    const TrustVerdict first = judgeWith(good, kPublicKey);
    EXPECT_TRUE(first.newerThanRecord());
    EXPECT_EQ(formatReleaseRecord(first.release), "2.4.0|118");
}

TEST(ManifestTrust, ReleasesOrderByVersionPartsThenBuild) {
    struct Case {
        ReleaseIdentity a;
        ReleaseIdentity b;
        int order;
    };
    const Case cases[] = {
        {{"1.10", "1", ""}, {"1.9", "99", ""}, 1},
        {{"1.0", "5", "t"}, {"1.0.0", "5", "t"}, 0},
        {{"2.0", "1", ""}, {"10.0", "1", ""}, -1},
        {{"1.0", "9", ""}, {"1.0", "10", ""}, -1},
        {{"1.01", "007", ""}, {"1.1", "7", ""}, 0},
        {{"1.0", "7", "2026-02"}, {"1.0", "7", "2026-01"}, 0},
        {{"1.0-beta", "1", ""}, {"1.0-alpha", "1", ""}, 1},
        {{"99999999999999999999999.1", "1", ""}, {"99999999999999999999998.9", "1", ""}, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compareReleases(c.a, c.b), c.order) << c.a.version << " " << c.b.version;
        EXPECT_EQ(compareReleases(c.b, c.a), -c.order) << c.a.version << " " << c.b.version;
    }
}

TEST(ManifestTrust, RecordTextReadsBothFormsAndRefusesAnythingElse) {
    const std::optional<ReleaseIdentity> read = parseReleaseRecord("2.1|345|2026-01-05T08:00:00Z|late");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->version, "2.1");
    EXPECT_EQ(read->build, "345");
    EXPECT_EQ(read->timestamp, "2026-01-05T08:00:00Z|late");
    EXPECT_EQ(formatReleaseRecord(*read), "2.1|345");
    EXPECT_EQ(parseReleaseRecord("2.1|345")->build, "345");
    for (const char* bad : {"", "2.1"}) {
        EXPECT_FALSE(parseReleaseRecord(bad)) << bad;
    }
    EXPECT_TRUE(parseReleaseRecord("||"));
}

namespace {

using Json = nlohmann::ordered_json;

// A stand-in for RSA over the same interface: a "signature" names the key and the digest of the data, so
// the decisions can be tabled with any number of keys; the real verifier is held to the same seam above.
std::string fakeSign(const std::string& data, const std::string& key) {
    return "signed-by-" + keyIdOf(key) + "-" + sha256Hex(data);
}
bool fakeVerify(const std::string& data, const std::string& signature, const std::string& key, std::string&) {
    return signature == fakeSign(data, key);
}

Json releaseObject(const std::string& version, int build, const char* channel = "stable",
                   const char* expires = nullptr) {
    Json object = {{"version", version}, {"build_number", build}};
    if (channel) {
        object["channel"] = channel;
    }
    object["published"] = "2026-03-01T10:00:00Z";
    if (expires) {
        object["expires"] = expires;
    }
    object["files"] = Json::array();
    return object;
}

Json statement(std::uint64_t sequence, const std::string& signer, std::vector<std::string> keys,
               std::vector<std::string> retire = {}) {
    Json body = {{"sequence", sequence}, {"keys", keys}, {"retire", retire}};
    return {{"statement", body}, {"signed_by", keyIdOf(signer)}, {"signature", fakeSign(body.dump(), signer)}};
}

std::string manifestFor(const Json& object, const std::string& key, const Json& chain = nullptr,
                        const std::string& timestamp = "2026-03-01T10:00:00Z") {
    Json root = {{"manifest", object},
                 {"signature",
                  {{"algorithm", "RSA-SHA256"}, {"signature", fakeSign(object.dump(), key)},
                   {"public_key", key}, {"timestamp", timestamp}, {"signer", "release team"}}}};
    if (!chain.is_null()) {
        root["key_succession"] = chain;
    }
    return root.dump(2);
}

const std::string kKey1 = "key one text";
const std::string kKey2 = "key two text";
const std::string kKey3 = "key three text";
const std::string kStranger = "a key nobody built in";
constexpr std::int64_t kNow = 1780000000; // 2026-05-28T20:26:40Z

TrustPolicy policyFor(std::vector<std::string> keys, KeyChainState chain = {},
                      std::optional<ReleaseIdentity> floor = std::nullopt, const char* channel = "stable") {
    TrustPolicy policy;
    policy.builtInKeys = std::move(keys);
    policy.storedChain = std::move(chain);
    policy.floor = std::move(floor);
    policy.channel = channel;
    policy.now = kNow;
    return policy;
}

} // namespace

TEST(ManifestTrust, OnlySignedValuesForTheFetchedChannelDecide) {
    Json forged = Json::parse(manifestFor(releaseObject("2.1", 345), kKey1));
    forged["signature"]["public_key"] = kStranger;
    // Signed as it is, a version named twice: readers differ in which one they take.
    const std::string twice = R"({"version":"2.1","build_number":345,"channel":"stable","version":"9.9"})";
    const std::string duplicated = "{\"manifest\": " + twice +
                                   ", \"signature\": {\"algorithm\": \"RSA\", \"signature\": \"" +
                                   fakeSign(twice, kKey1) + "\"}}";
    struct Case {
        const char* what;
        std::string manifest;
        TrustPolicy policy;
        std::string reason; // "" when trusted
    };
    const Case cases[] = {
        {"a 2,000-character timestamp neither orders nor breaks anything",
         manifestFor(releaseObject("2.1", 345), kKey1, nullptr, std::string(2000, '~')),
         policyFor({kKey1}, {}, ReleaseIdentity{"2.1", "345", ""}), ""},
        {"rollback to a genuinely signed older release",
         manifestFor(releaseObject("2.0", 100), kKey1, nullptr, "9999-12-31T23:59:59Z"),
         policyFor({kKey1}, {}, ReleaseIdentity{"2.1", "345", ""}),
         "version 2.0 build 100 is older than the last trusted release, version 2.1 build 345"},
        {"forged envelope: the block's own key is not believed", forged.dump(), policyFor({kStranger}),
         "its signature does not verify with the built-in release key"},
        {"channel mix: beta served at the stable address", manifestFor(releaseObject("3.0", 1, "beta"), kKey1),
         policyFor({kKey1}), "it is signed for channel \"beta\", not for channel \"stable\""},
        {"no signed channel", manifestFor(releaseObject("3.0", 1, nullptr), kKey1), policyFor({kKey1}),
         "it is signed for channel \"\", not for channel \"stable\""},
        {"freeze: an expired manifest", manifestFor(releaseObject("3.0", 1, "stable", "2026-05-28T20:26:40Z"), kKey1),
         policyFor({kKey1}),
         "it expired at 2026-05-28T20:26:40Z (this machine's clock says 2026-05-28T20:26:40Z)"},
        {"an unexpired manifest", manifestFor(releaseObject("3.0", 1, "stable", "2026-05-28T20:26:41Z"), kKey1),
         policyFor({kKey1}), ""},
        {"an expiry in another form", manifestFor(releaseObject("3.0", 1, "stable", "2026-05-28 20:26:41"), kKey1),
         policyFor({kKey1}), "its expiry \"2026-05-28 20:26:41\" is not a UTC time YYYY-MM-DDTHH:MM:SSZ"},
        {"a deciding value named twice", duplicated, policyFor({kKey1}), "it cannot be read"},
        {"any built-in key of several", manifestFor(releaseObject("3.0", 1), kKey2), policyFor({kKey1, kKey2}),
         ""},
        {"untrusted signer", manifestFor(releaseObject("3.0", 1), kStranger), policyFor({kKey1, kKey2}),
         "its signature does not verify with the built-in release key"},
    };
    for (const Case& c : cases) {
        const TrustVerdict verdict = judgeManifestTrust(c.manifest, c.policy, &fakeVerify);
        EXPECT_EQ(notTrustedReason(verdict), c.reason) << c.what;
        EXPECT_EQ(verdict.signedText.empty(), !c.reason.empty()) << c.what;
    }
    EXPECT_EQ(keyIdOf(" a b\nc\t"), "ba7816bf8f01cfea"); // keys are named as the release tool names them
    EXPECT_FALSE(parseUtcTime("2027-02-29T00:00:00Z"));
}

TEST(ManifestTrust, KeySuccessionIsWalkedFromTheStoredStateAndRetiredKeysNeverSignAgain) {
    const Json rotate = Json::array({statement(1, kKey1, {kKey2}, {kKey1})});
    const Json twoSteps = Json::array({statement(1, kKey1, {kKey2}, {kKey1}), statement(2, kKey2, {kKey3})});
    const KeyChainState afterRotation{1, {normalizedKeyText(kKey2)}, {normalizedKeyText(kKey1)}};
    struct Case {
        const char* what;
        std::string manifest;
        KeyChainState stored;
        std::string reason;                  // "" when trusted
        std::optional<KeyChainState> stores; // what the program must keep afterwards
    };
    const Case cases[] = {
        {"rotation 1 to 2 accepted by a build that has only key 1", manifestFor(releaseObject("3.0", 1), kKey2, rotate),
         {}, "", afterRotation},
        {"the retired key 1 signs again after the rotation", manifestFor(releaseObject("3.0", 2), kKey1), afterRotation,
         "it is signed with the retired release key " + keyIdOf(kKey1), std::nullopt},
        {"the retired key 1 signs beside the statement that retired it", manifestFor(releaseObject("3.0", 2), kKey1, rotate),
         {}, "it is signed with the retired release key " + keyIdOf(kKey1), std::nullopt},
        {"the applied statement is skipped", manifestFor(releaseObject("3.0", 2), kKey2, rotate), afterRotation, "",
         std::nullopt},
        {"a machine that missed a step walks both", manifestFor(releaseObject("3.0", 3), kKey3, twoSteps), {}, "",
         KeyChainState{2, {normalizedKeyText(kKey2), normalizedKeyText(kKey3)}, {normalizedKeyText(kKey1)}}},
        {"a gap in the chain", manifestFor(releaseObject("3.0", 3), kKey3, Json::array({twoSteps[1]})), {},
         "key succession statement 1 (sequence 2) does not follow sequence 0", std::nullopt},
        {"a statement signed by an untrusted key",
         manifestFor(releaseObject("3.0", 1), kKey2, Json::array({statement(1, kStranger, {kKey2})})), {},
         "key succession statement 1 (sequence 1) is signed by key " + keyIdOf(kStranger) +
             ", which this program does not trust",
         std::nullopt},
        {"a statement signed by a retired key",
         manifestFor(releaseObject("3.0", 1), kKey3, Json::array({statement(2, kKey1, {kKey3})})), afterRotation,
         "key succession statement 1 (sequence 2) is signed by retired key " + keyIdOf(kKey1), std::nullopt},
        {"a statement changed after signing", [&] {
             Json chain = rotate;
             chain[0]["statement"]["keys"] = Json::array({kStranger});
             return manifestFor(releaseObject("3.0", 1), kStranger, chain);
         }(),
         {}, "key succession statement 1 (sequence 1) does not verify with key " + keyIdOf(kKey1), std::nullopt},
        {"a retired key cannot be vouched for again",
         manifestFor(releaseObject("3.0", 2), kKey1, Json::array({statement(2, kKey2, {kKey1})})), afterRotation,
         "it is signed with the retired release key " + keyIdOf(kKey1), std::nullopt},
        {"a manifest signed by an earlier key beside a statement",
         manifestFor(releaseObject("3.0", 1), kKey1, Json::array({statement(1, kKey1, {kKey2})})), {},
         "its signature does not verify with a key of its last key succession statement", std::nullopt},
    };
    for (const Case& c : cases) {
        const TrustVerdict verdict =
            judgeManifestTrust(c.manifest, policyFor({kKey1}, c.stored), &fakeVerify);
        EXPECT_EQ(notTrustedReason(verdict), c.reason) << c.what;
        EXPECT_EQ(verdict.newChain, c.stores) << c.what;
    }
}

namespace {

struct FakeRegistry {
    std::map<std::string, StoredText> values;
    std::optional<std::string> failingWrite;

    ReleaseTrust trust() {
        ReleaseTrust trust;
        trust.keyText = kKey1;
        trust.readValue = [this](const std::string& name) {
            const auto found = values.find(name);
            return found == values.end() ? StoredText{} : found->second;
        };
        trust.writeValue = [this](const std::string& name, const std::string& text) {
            if (failingWrite != name) {
                values[name] = {StoredState::Present, text};
            }
            return failingWrite != name;
        };
        trust.clock = [] { return kNow; };
        trust.verify = &fakeVerify;
        return trust;
    }
};

StoredText present(const std::string& text) {
    return {StoredState::Present, text};
}

} // namespace

TEST(ReleaseTrustState, TheChannelsOwnRecordSetsTheFloorAndStateThatCannotBeKeptRefuses) {
    const Json rotation = Json::array({statement(1, kKey1, {kKey2}, {kKey1})});
    struct Case {
        const char* what;
        std::map<std::string, StoredText> stored;
        std::optional<std::string> failingWrite;
        std::string manifest;
        std::string channel;
        std::string reason;                                    // "" when trusted
        std::map<std::string, std::string> afterwards;         // values expected to be stored then
    };
    const std::string kLongChannel(300, 'c');
    const Case cases[] = {
        {"the single record of earlier versions still protects",
         {{"LastTrustedRelease", present("2.1|345|~")}}, std::nullopt, manifestFor(releaseObject("2.0", 100), kKey1), "",
         "version 2.0 build 100 is older than the last trusted release, version 2.1 build 345", {}},
        {"a channel's own record overrides it",
         {{"LastTrustedRelease", present("9.0|1|x")}, {"LastTrustedRelease.stable", present("2.0|99")}},
         std::nullopt, manifestFor(releaseObject("2.0", 100), kKey1), "", "",
         {{"LastTrustedRelease.stable", "2.0|100"}, {"LastTrustedRelease", "9.0|1|x"}}},
        {"a record that cannot be written", {}, std::string("LastTrustedRelease.stable"),
         manifestFor(releaseObject("2.1", 345), kKey1), "",
         "version 2.1 build 345 could not be recorded in LastTrustedRelease.stable", {}},
        {"a version the record could not hold", {}, std::nullopt, manifestFor(releaseObject("2.1|9", 345), kKey1), "",
         "version 2.1|9 build 345 could not be recorded in LastTrustedRelease.stable", {}},
        {"a record that cannot be read is not \"no record\"",
         {{"LastTrustedRelease.stable", {StoredState::Unreadable, ""}}}, std::nullopt,
         manifestFor(releaseObject("2.1", 345), kKey1), "", "the stored record LastTrustedRelease.stable cannot be read",
         {}},
        {"a damaged key chain", {{"TrustedKeyChain", present("{}")}}, std::nullopt,
         manifestFor(releaseObject("2.1", 345), kKey1), "", "the stored key chain TrustedKeyChain cannot be read", {}},
        {"a key chain that cannot be stored", {}, std::string("TrustedKeyChain"),
         manifestFor(releaseObject("2.1", 345), kKey2, rotation), "",
         "its key succession could not be stored in TrustedKeyChain", {}},
        {"a channel name too long to record", {}, std::nullopt, manifestFor(releaseObject("2.1", 345, kLongChannel.c_str()), kKey1),
         kLongChannel, "its channel name is too long to keep a record for", {}},
    };
    for (const Case& c : cases) {
        FakeRegistry registry{c.stored, c.failingWrite};
        const TrustVerdict verdict = checkReleaseTrust(c.manifest, c.channel, registry.trust());
        EXPECT_EQ(notTrustedReason(verdict), c.reason) << c.what;
        EXPECT_EQ(verdict.signedText.empty(), !c.reason.empty()) << c.what;
        for (const auto& [name, text] : c.afterwards) {
            EXPECT_EQ(registry.values[name].text, text) << c.what << ": " << name;
        }
        if (!c.reason.empty()) {
            EXPECT_EQ(registry.values.size(), c.stored.size()) << c.what << ": nothing new is stored";
        }
    }
    EXPECT_EQ(trustedReleaseValueName("Beta 2/x"), "LastTrustedRelease.%42eta%202%2Fx");
}
