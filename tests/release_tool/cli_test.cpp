// The command line as a release engineer meets it: help, exit codes, errors naming the file, keys that
// are never overwritten silently, and checking over a loopback server.

#include "native_support.h"

#include "encoding.h"
#include "publish.h"
#include "rsa_keys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace vesk::release;
using namespace vesk::release::test;

namespace {

int exitStatusOf(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void makeSmallRelease(const fs::path& folder) {
    writeBytes(folder / "Updater.exe", noiseBytes(3000, 11));
    writeBytes(folder / "libcurl.dll", noiseBytes(300, 12));
    writeBytes(folder / "libsodium.dll", "");
    writeBytes(folder / "zlib1.dll", std::string(5000, 'z'));
}

} // namespace

TEST(Cli, HelpAndUsageErrors) {
    std::string out, err;
    EXPECT_EQ(runTool({"--help"}, out, err), 0);
    EXPECT_NE(out.find("Usage: vesk-release"), std::string::npos);
    for (const char* command : {"keygen", "publish", "check"}) {
        EXPECT_EQ(runTool({command, "--help"}, out, err), 0) << command;
        EXPECT_NE(out.find(std::string("Usage: vesk-release ") + command), std::string::npos);
        EXPECT_EQ(runTool({"help", command}, out, err), 0) << command;
    }
    EXPECT_EQ(runTool({}, out, err), 2);
    EXPECT_EQ(runTool({"frobnicate"}, out, err), 2);
    EXPECT_NE(err.find("unknown command \"frobnicate\""), std::string::npos);
    EXPECT_EQ(runTool({"publish", "--from", "x", "--build", "1", "--out", "y"}, out, err), 2);
    EXPECT_NE(err.find("--version"), std::string::npos);
    EXPECT_EQ(runTool({"publish", "--bogus"}, out, err), 2);
    EXPECT_NE(err.find("unknown option --bogus"), std::string::npos);
    EXPECT_EQ(runTool({"check", "https://example.com/manifest.json"}, out, err), 2);
    EXPECT_NE(err.find("loopback"), std::string::npos);
    EXPECT_EQ(runTool({"keygen", "--out", "/tmp/x", "--bits", "1024"}, out, err), 2);
}

TEST(Cli, ErrorsNameTheFileAndTheExecutableExitsNonZero) {
    ScratchDir dir;
    std::string out, err;
    EXPECT_EQ(runTool({"check", (dir / "absent.json").string()}, out, err), 1);
    EXPECT_NE(err.find("absent.json"), std::string::npos);
    EXPECT_NE(err.find("No such file"), std::string::npos);

    // The real executable: exit codes survive main().
    const std::string tool = VESK_RELEASE_TOOL;
    EXPECT_EQ(exitStatusOf("'" + tool + "' --help >/dev/null"), 0);
    EXPECT_EQ(exitStatusOf("'" + tool + "' check '" + (dir / "absent.json").string() + "' 2>/dev/null"), 1);
    EXPECT_EQ(exitStatusOf("'" + tool + "' 2>/dev/null"), 2);
}

TEST(Cli, KeygenWritesThreeFormsAndNeverOverwritesSilently) {
    ScratchDir dir;
    std::string out, err;
    ASSERT_EQ(
        runTool({"keygen", "--out", (dir / "keys").string(), "--name", "ci", "--bits", "2048"}, out, err), 0)
        << err;
    const fs::path privatePath = dir / "keys" / "ci.pem";
    struct stat info {};
    ASSERT_EQ(::stat(privatePath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(readBytes(dir / "keys" / "ci.pub.pem").find("BEGIN PUBLIC KEY"), std::string::npos);

    // The updater's form belongs to the private key, and is Base64 of the XML key value.
    RsaPrivateKey key;
    std::string error;
    ASSERT_TRUE(key.load(readBytes(privatePath), "ci.pem", error)) << error;
    EXPECT_EQ(key.bits(), 2048);
    std::string updaterForm = readBytes(dir / "keys" / "ci.pub.txt");
    ASSERT_FALSE(updaterForm.empty());
    updaterForm.pop_back(); // line end
    EXPECT_EQ(updaterForm, key.publicKeyForUpdater());
    std::string xml;
    ASSERT_TRUE(decodeBase64(updaterForm, xml));
    EXPECT_EQ(xml.rfind("<RSAKeyValue><Modulus>", 0), 0u);
    EXPECT_NE(xml.find("</Modulus><Exponent>AQAB</Exponent></RSAKeyValue>"), std::string::npos);

    const std::string before = readBytes(privatePath);
    EXPECT_EQ(
        runTool({"keygen", "--out", (dir / "keys").string(), "--name", "ci", "--bits", "2048"}, out, err), 1);
    EXPECT_NE(err.find("ci.pem"), std::string::npos);
    EXPECT_EQ(readBytes(privatePath), before);
    EXPECT_EQ(
        runTool({"keygen", "--out", (dir / "keys").string(), "--name", "ci", "--bits", "2048", "--force"},
                out, err),
        0);
    EXPECT_NE(readBytes(privatePath), before);
}

TEST(Cli, PublishThenCheckFromTheCommandLine) {
    ScratchDir dir;
    makeSmallRelease(dir / "release");
    std::string out, err;
    ASSERT_EQ(runTool({"keygen", "--out", (dir / "keys").string(), "--bits", "2048"}, out, err), 0) << err;
    const fs::path keyText = dir / "keys" / "vesk-release.pub.txt";
    std::string updaterForm = readBytes(keyText);
    ASSERT_FALSE(updaterForm.empty());
    updaterForm.pop_back();
    EXPECT_NE(out.find(" -DVESK_TRUSTED_PUBLIC_KEY=" + updaterForm + "\n"), std::string::npos) << out;
    ASSERT_EQ(runTool({"publish", "--from", (dir / "release").string(), "--version", "3.0", "--build", "12",
                       "--channel", "stable", "--out", (dir / "server").string(), "--key",
                       (dir / "keys" / "vesk-release.pem").string(), "--signer", "CI"},
                      out, err),
              0)
        << err;
    EXPECT_NE(out.find("(signed)"), std::string::npos);
    ASSERT_EQ(
        runTool({"check", (dir / "server" / "manifest.json").string(), "--require-signature"}, out, err), 0)
        << out;
    EXPECT_NE(out.find("[INFO] [OK] RSA Signature Verification: PASSED"), std::string::npos);
    EXPECT_NE(out.find("Server files"), std::string::npos);
    EXPECT_NE(out.find("4 checked"), std::string::npos);
    EXPECT_NE(out.find("Result: OK"), std::string::npos);

    // As a trusted-release build with this key would judge it: trusted, older than a later release, and
    // no longer trusted once its signed content is changed.
    const std::string manifest = (dir / "server" / "manifest.json").string();
    EXPECT_EQ(runTool({"check", manifest, "--trusted-key", keyText.string()}, out, err), 0) << out;
    EXPECT_NE(out.find("\n  Manifest trusted: signed with the built-in release key (version 3.0 build 12)\n"),
              std::string::npos);
    EXPECT_EQ(
        runTool({"check", manifest, "--trusted-key", keyText.string(), "--newer-than", "3.0/13"}, out, err),
        1);
    EXPECT_NE(out.find("Manifest not trusted: version 3.0 build 12 is older than the last trusted release, "
                       "version 3.0 build 13; nothing will be installed from it"),
              std::string::npos);
    // Its only fault is trust, so the summary says that and not that the updater would misread it.
    EXPECT_NE(out.find("Result: NOT TRUSTED - a trusted-release updater with this key installs nothing from this "
                       "release\n"),
              std::string::npos);
    EXPECT_EQ(runTool({"check", manifest, "--newer-than", "3.0/13"}, out, err), 2);
    std::string altered = readBytes(manifest);
    altered.replace(altered.find("\"3.0\""), 5, "\"3.9\"");
    writeBytes(dir / "altered.json", altered);
    EXPECT_EQ(
        runTool({"check", (dir / "altered.json").string(), "--no-files", "--trusted-key", keyText.string()},
                out, err),
        1);
    EXPECT_NE(out.find("Manifest not trusted: its signature does not verify with the built-in release key; "
                       "nothing will be installed from it"),
              std::string::npos);

    // A hand-edited manifest with a space before a colon: reported with file, line and column.
    std::string text = readBytes(dir / "server" / "manifest.json");
    text.replace(text.find("\"size\":"), 7, "\"size\" :");
    writeBytes(dir / "edited.json", text);
    EXPECT_EQ(runTool({"check", (dir / "edited.json").string(), "--no-files"}, out, err), 1);
    EXPECT_NE(out.find("edited.json:"), std::string::npos);
    EXPECT_NE(out.find("[writing rule 1] see docs/manifest.md#rule-1-"), std::string::npos);
    EXPECT_NE(out.find("RSA Signature Verification: PASSED"), std::string::npos); // same signed content
    EXPECT_NE(out.find("Result: "), std::string::npos);
}

TEST(Cli, CheckOverALoopbackServer) {
    ScratchDir dir;
    makeSmallRelease(dir / "release");
    PublishOptions options;
    options.releaseFolder = dir / "release";
    options.serverRoot = dir / "server";
    options.version = "3.0";
    options.build = "12";
    options.channel = "beta";
    PublishResult published;
    std::string error;
    ASSERT_TRUE(publishRelease(options, published, error)) << error;

    LoopbackFileServer server(dir / "server");
    std::string out, err;
    EXPECT_EQ(runTool({"check", server.origin() + "/manifest-beta.json"}, out, err), 0) << out << err;
    const std::vector<std::string> requests = server.requests();
    EXPECT_NE(std::find(requests.begin(), requests.end(), "/manifest-beta.json"), requests.end());
    EXPECT_NE(std::find(requests.begin(), requests.end(), "/updates/3.0.12/Updater.exe.zip"), requests.end());
    EXPECT_NE(std::find(requests.begin(), requests.end(), "/updates/3.0.12/Updater.exe"), requests.end());

    writeBytes(dir / "server" / "updates" / "3.0.12" / "zlib1.dll", std::string(5000, 'y'));
    EXPECT_EQ(runTool({"check", server.origin() + "/manifest-beta.json"}, out, err), 1);
    EXPECT_NE(out.find("zlib1.dll: " + server.origin() + "/updates/3.0.12/zlib1.dll: SHA-256"),
              std::string::npos)
        << out;

    // The updater would take an error page as the manifest: say so.
    EXPECT_EQ(runTool({"check", server.origin() + "/manifest.json", "--no-files"}, out, err), 1);
    EXPECT_NE(out.find("status 404"), std::string::npos) << out;
}

// What the command line refuses, and what check claims about the signer: each row one invocation.
TEST(Cli, StrictOptionsAndWhoSigned) {
    ScratchDir dir;
    makeSmallRelease(dir / "release");
    std::string out, err;
    ASSERT_EQ(runTool({"keygen", "--out", (dir / "keys").string(), "--bits", "2048"}, out, err), 0) << err;
    ASSERT_EQ(runTool({"keygen", "--out", (dir / "keys").string(), "--name", "other", "--bits", "2048"}, out, err),
              0);
    const std::string keys = (dir / "keys").string() + "/";
    const std::string manifest = (dir / "server" / "manifest.json").string();
    ASSERT_EQ(runTool({"publish", "--from", (dir / "release").string(), "--version", "3.0", "--build", "12", "--out",
                       (dir / "server").string(), "--key", keys + "vesk-release.pem"},
                      out, err),
              0)
        << err;
    struct Row {
        std::vector<std::string> args;
        int exit;
        std::string says;
        std::string neverSays;
    };
    const std::string trusted = keys + "vesk-release.pub.txt";
    const std::vector<Row> rows = {
        {{"check", manifest, "--no-files", "--no-files"}, 2, "option --no-files is given twice", ""},
        {{"keygen", "--out", keys, "--out", keys}, 2, "option --out is given twice", ""},
        {{"check", manifest, "--frobnicate"}, 2, "unknown option --frobnicate", ""},
        {{"check", manifest, "--trusted-key", trusted, "--newer-than", "3.0"}, 0, "Manifest trusted", ""},
        {{"check", manifest, "--trusted-key", trusted, "--newer-than", "3.1"}, 1, "older than", ""},
        {{"check", manifest, "--trusted-key", trusted, "--newer-than", "3.0/11"}, 0, "Manifest trusted", ""},
        {{"check", manifest, "--trusted-key", trusted, "--newer-than", "3.0/"}, 2, "VERSION/BUILD", ""},
        {{"check", manifest, "--trusted-key", trusted, "--newer-than", "3/0/12"}, 2, "VERSION/BUILD", ""},
        {{"check", manifest, "--trusted-key", trusted, "--newer-than", "/12"}, 2, "VERSION/BUILD", ""},
        {{"check", manifest, "--trusted-key", keys + "vesk-release.pem"}, 1, "is a private key", ""},
        {{"check", manifest, "--trusted-key", keys + "vesk-release.pub.pem"}, 1, "is a PEM public key", ""},
        {{"publish", "--from", (dir / "release").string(), "--version", "3.0", "--build", "13", "--out",
          (dir / "server").string(), "--key", trusted},
         1, "is a public key; --key takes the private key", ""},
        {{"succession", "--key", keys + "vesk-release.pem", "--new-key", keys + "other.pem", "--chain",
          (dir / "chain.json").string()},
         1, "is a private key", ""},
        {{"check", manifest}, 0, "Self-consistent signature, signer not checked", "authenticity confirmed"},
        {{"check", manifest, "--trusted-key", keys + "other.pub.txt"}, 1, "does not verify", "authenticity confirmed"},
        {{"check", manifest, "--trusted-key", keys + "other.pub.txt," + trusted}, 0,
         "Signer: authenticity confirmed with the trusted key", "signer not checked"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        EXPECT_EQ(runTool(row.args, out, err), row.exit) << out << err;
        EXPECT_NE((out + err).find(row.says), std::string::npos) << out << err;
        if (!row.neverSays.empty()) {
            EXPECT_EQ((out + err).find(row.neverSays), std::string::npos) << out;
        }
    }
    EXPECT_FALSE(fs::exists(dir / "chain.json"));
}
