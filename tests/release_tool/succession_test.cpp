// Key succession as a publisher meets it: which statements may join a chain, which manifests may carry it,
// and what the chain and the freshness members look like in the manifest the programs read.

#include "native_support.h"

#include "file_util.h"
#include "signature_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using namespace vesk::release;
using namespace vesk::release::test;

TEST(Succession, ChainGrowsOnlyFromVouchedKeys) {
    ScratchDir dir;
    std::string out, err;
    for (const char* name : {"a", "b", "c"}) {
        ASSERT_EQ(runTool({"keygen", "--out", (dir / "keys").string(), "--name", name, "--bits", "2048"}, out, err),
                  0);
    }
    for (const char* core : {"Updater.exe", "libcurl.dll", "libsodium.dll", "zlib1.dll"}) {
        writeBytes(dir / "release" / core, noiseBytes(1000, 9));
    }
    auto pem = [&](const char* n) { return (dir / "keys" / (std::string(n) + ".pem")).string(); };
    auto pub = [&](const char* n) { return (dir / "keys" / (std::string(n) + ".pub.txt")).string(); };
    const std::string chain = (dir / "chain.json").string();
    auto publish = [&](const char* key, std::vector<std::string> extra, const char* build = "1") {
        std::vector<std::string> args = {"publish", "--from", (dir / "release").string(), "--version", "1.0",
                                         "--build", build, "--out", (dir / "server").string(), "--key", pem(key)};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    struct Row {
        const char* what;
        std::vector<std::string> args;
        int exit;
        const char* says;
    };
    const std::vector<Row> rows = {
        {"first statement, any key",
         {"succession", "--key", pem("a"), "--new-key", pub("a"), "--new-key", pub("b"), "--chain", chain}, 0,
         "Statement 1 appended"},
        {"signer the chain does not name", {"succession", "--key", pem("c"), "--new-key", pub("c"), "--chain", chain},
         1, "is not one of the keys the last statement"},
        {"rotation to c, a retired",
         {"succession", "--key", pem("b"), "--new-key", pub("c"), "--retire", pub("a"), "--chain", chain}, 0,
         "Statement 2 appended"},
        {"a key vouched for and retired at once",
         {"succession", "--key", pem("c"), "--new-key", pub("c"), "--retire", pub("c"), "--chain", chain}, 1,
         "both vouched for and retired"},
        {"manifest signed by a key the last statement does not name", publish("b", {"--key-succession", chain}), 1,
         "is not one of the keys the chain's last statement"},
        {"chain without a key to sign with", {"publish", "--from", (dir / "release").string(), "--version", "1.0",
                                              "--build", "1", "--out", (dir / "server").string(),
                                              "--key-succession", chain},
         1, "--key-succession needs --key"},
        {"expiry out of range", publish("c", {"--expires-in", "3651"}), 2, "1 to 3650"},
        {"expiry of zero days", publish("c", {"--expires-in", "0"}), 2, "1 to 3650"},
        {"manifest signed by the new key", publish("c", {"--key-succession", chain, "--expires-in", "7"}), 0,
         "(signed)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(runTool(row.args, out, err), row.exit) << out << err;
        EXPECT_NE((out + err).find(row.says), std::string::npos) << out << err;
    }

    // The manifest carries the chain after the signature block, and its statements verify as written.
    const auto document = nlohmann::ordered_json::parse(readBytes(dir / "server" / "manifest.json"));
    std::vector<std::string> members;
    for (const auto& item : document.items()) {
        members.push_back(item.key());
    }
    EXPECT_EQ(members, (std::vector<std::string>{"manifest", "signature", "key_succession"}));
    const auto& statements = document["key_succession"];
    ASSERT_EQ(statements.size(), 2u);
    std::string keyA = readBytes(pub("a"));
    keyA.pop_back();
    EXPECT_EQ(statements[0]["signed_by"], sha256Hex(keyA).substr(0, 16));
    std::string why;
    EXPECT_TRUE(verifyLikeUpdater(statements[0]["statement"].dump(), statements[0]["signature"], keyA, why)) << why;
    EXPECT_EQ(statements[1]["statement"].dump().rfind("{\"sequence\":2,\"keys\":[", 0), 0u);
    // "published" and "expires" inside the signed object, seven days apart.
    const auto& manifest = document["manifest"];
    members.clear();
    for (const auto& item : manifest.items()) {
        members.push_back(item.key());
    }
    EXPECT_EQ(members, (std::vector<std::string>{"version", "build_number", "channel", "published", "expires", "files"}));
    std::tm published{}, expires{};
    ASSERT_TRUE(::strptime(manifest["published"].get<std::string>().c_str(), "%Y-%m-%dT%H:%M:%SZ", &published));
    ASSERT_TRUE(::strptime(manifest["expires"].get<std::string>().c_str(), "%Y-%m-%dT%H:%M:%SZ", &expires));
    EXPECT_EQ(::timegm(&expires) - ::timegm(&published), 7 * 86400);

    // A chain changed after signing is refused: the later statements always, the first one once the tree
    // knows its signer.
    for (const int statement : {1, 2}) {
        std::string text = readBytes(chain);
        size_t at = text.find("\"signature\": \"") + 14;
        if (statement == 2) {
            at = text.find("\"signature\": \"", at) + 14;
        }
        text[at + 3] = text[at + 3] == 'A' ? 'B' : 'A';
        writeBytes(dir / "tampered.json", text);
        EXPECT_EQ(runTool(publish("c", {"--key-succession", (dir / "tampered.json").string()}, "2"), out, err), 1);
        EXPECT_NE(err.find("statement " + std::to_string(statement)), std::string::npos) << err;
    }
}
