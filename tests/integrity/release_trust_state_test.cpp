// The program's side of a trust decision: which stored record sets the floor, and that a state which cannot
// be read or kept refuses the manifest. The registry is replaced by a map so every failure can be staged.

#include "integrity/sha256.h"
#include "selfupdate/release_trust.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>

using namespace vesk::updater;

namespace {

using Json = nlohmann::ordered_json;

bool fakeVerify(const std::string& data, const std::string& signature, const std::string& key, std::string&) {
    return signature == key + ":" + sha256Hex(data);
}

std::string manifest(const std::string& version, int build, const std::string& channel, const std::string& key,
                     const Json& chain = nullptr) {
    const Json object = {{"version", version}, {"build_number", build}, {"channel", channel}, {"files", Json::array()}};
    Json root = {{"manifest", object},
                 {"signature", {{"algorithm", "RSA-SHA256"}, {"signature", key + ":" + sha256Hex(object.dump())}}}};
    if (!chain.is_null()) {
        root["key_succession"] = chain;
    }
    return root.dump();
}

struct FakeRegistry {
    std::map<std::string, StoredText> values;
    std::optional<std::string> failingWrite;

    ReleaseTrust trust() {
        ReleaseTrust trust;
        trust.keyText = "key1";
        trust.readValue = [this](const std::string& name) {
            const auto found = values.find(name);
            return found == values.end() ? StoredText{} : found->second;
        };
        trust.writeValue = [this](const std::string& name, const std::string& text) {
            if (failingWrite == name) {
                return false;
            }
            values[name] = {StoredState::Present, text};
            return true;
        };
        trust.clock = [] { return std::int64_t{1780000000}; };
        trust.verify = &fakeVerify;
        return trust;
    }
};

StoredText present(const std::string& text) {
    return {StoredState::Present, text};
}

} // namespace

TEST(ReleaseTrustState, TheChannelsOwnRecordSetsTheFloorAndStateThatCannotBeKeptRefuses) {
    const Json body = {{"sequence", 1}, {"keys", {"key2"}}, {"retire", {"key1"}}};
    const Json rotation = Json::array(
        {{{"statement", body}, {"signed_by", keyIdOf("key1")}, {"signature", "key1:" + sha256Hex(body.dump())}}});
    struct Case {
        const char* what;
        std::map<std::string, StoredText> stored;
        std::optional<std::string> failingWrite;
        std::string manifest;
        std::string channel;
        std::string reason;                                    // "" when trusted
        std::map<std::string, std::string> afterwards;         // values expected to be stored then
    };
    const Case cases[] = {
        {"the single record of earlier versions still protects",
         {{"LastTrustedRelease", present("2.1|345|~")}}, std::nullopt, manifest("2.0", 100, "stable", "key1"), "",
         "version 2.0 build 100 is older than the last trusted release, version 2.1 build 345", {}},
        {"a channel's own record overrides it",
         {{"LastTrustedRelease", present("9.0|1|x")}, {"LastTrustedRelease.stable", present("2.0|99")}},
         std::nullopt, manifest("2.0", 100, "stable", "key1"), "", "",
         {{"LastTrustedRelease.stable", "2.0|100"}, {"LastTrustedRelease", "9.0|1|x"}}},
        {"a beta release never raises stable", {{"LastTrustedRelease.stable", present("2.0|99")}}, std::nullopt,
         manifest("3.1", 7, "beta", "key1"), "beta", "",
         {{"LastTrustedRelease.beta", "3.1|7"}, {"LastTrustedRelease.stable", "2.0|99"}}},
        {"a record that cannot be written", {}, std::string("LastTrustedRelease.stable"),
         manifest("2.1", 345, "stable", "key1"), "",
         "version 2.1 build 345 could not be recorded in LastTrustedRelease.stable", {}},
        {"a record that cannot be read is not \"no record\"",
         {{"LastTrustedRelease.stable", {StoredState::Unreadable, ""}}}, std::nullopt,
         manifest("2.1", 345, "stable", "key1"), "", "the stored record LastTrustedRelease.stable cannot be read",
         {}},
        {"a damaged legacy record", {{"LastTrustedRelease", present("no bar")}}, std::nullopt,
         manifest("2.1", 345, "stable", "key1"), "", "the stored record LastTrustedRelease cannot be read", {}},
        {"a damaged key chain", {{"TrustedKeyChain", present("{}")}}, std::nullopt,
         manifest("2.1", 345, "stable", "key1"), "", "the stored key chain TrustedKeyChain cannot be read", {}},
        {"a key chain that cannot be stored", {}, std::string("TrustedKeyChain"),
         manifest("2.1", 345, "stable", "key2", rotation), "",
         "its key succession could not be stored in TrustedKeyChain", {}},
        {"a rotation is stored with the record", {}, std::nullopt, manifest("2.1", 345, "stable", "key2", rotation),
         "", "",
         {{"TrustedKeyChain", R"({"sequence":1,"keys":["key2"],"retired":["key1"]})"},
          {"LastTrustedRelease.stable", "2.1|345"}}},
        {"the stored chain keeps the retired built-in key out",
         {{"TrustedKeyChain", present(R"({"sequence":1,"keys":["key2"],"retired":["key1"]})")}}, std::nullopt,
         manifest("2.1", 345, "stable", "key1"), "", "it is signed with the retired release key " + keyIdOf("key1"),
         {}},
        {"a channel name too long to record", {}, std::nullopt, manifest("2.1", 345, std::string(300, 'c'), "key1"),
         std::string(300, 'c'), "its channel name is too long to keep a record for", {}},
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
    EXPECT_EQ(trustedReleaseValueName(""), "LastTrustedRelease.stable");
    EXPECT_EQ(trustedReleaseValueName("Beta 2/x"), "LastTrustedRelease.%42eta%202%2Fx");
}
