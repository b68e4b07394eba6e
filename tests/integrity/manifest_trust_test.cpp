#include "integrity/manifest_trust.h"
#include "integrity/signature_verifier.h"
#include "signature_fixtures.h"

#include <gtest/gtest.h>

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
        {"2.4.0|118|2026-03-01T10:00:00Z", true, false}, // the same release again
        {"2.4.0|118|2026-03-01T09:00:00Z", true, true},  // re-signed later
        {"2.4|117|2027", true, true},                    // missing version part counts as 0
        {"2.10.0|1|", false, false},                     // 10 > 4 as numbers, not as text
        {"2.4.0|0119|", false, false},
        {"2.4.0|118|2026-03-01T10:00:01Z", false, false},
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
    EXPECT_EQ(formatReleaseRecord(first.release), "2.4.0|118|2026-03-01T10:00:00Z");
}

TEST(ManifestTrust, ReleasesOrderByVersionPartsThenBuildThenTimestamp) {
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
        {{"1.0", "7", "2026-02"}, {"1.0", "7", "2026-01"}, 1},
        {{"1.0-beta", "1", ""}, {"1.0-alpha", "1", ""}, 1},
        {{"99999999999999999999999.1", "1", ""}, {"99999999999999999999998.9", "1", ""}, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compareReleases(c.a, c.b), c.order) << c.a.version << " " << c.b.version;
        EXPECT_EQ(compareReleases(c.b, c.a), -c.order) << c.a.version << " " << c.b.version;
    }
}

TEST(ManifestTrust, RecordTextKeepsItsThreePartsAndRefusesAnythingElse) {
    const std::optional<ReleaseIdentity> read = parseReleaseRecord("2.1|345|2026-01-05T08:00:00Z|late");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->version, "2.1");
    EXPECT_EQ(read->build, "345");
    EXPECT_EQ(read->timestamp, "2026-01-05T08:00:00Z|late");
    EXPECT_EQ(formatReleaseRecord(*read), "2.1|345|2026-01-05T08:00:00Z|late");
    for (const char* bad : {"", "2.1", "2.1|345"}) {
        EXPECT_FALSE(parseReleaseRecord(bad)) << bad;
    }
    EXPECT_TRUE(parseReleaseRecord("||"));
}
