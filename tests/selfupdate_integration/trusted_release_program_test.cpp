// The program built with a trusted release key (the test key of tests/programs/trusted_program), run
// whole: only a manifest signed with that key, and not older than the last one trusted, may change
// anything installed.

#include "core/settings.h"
#include "core/settings_records.h"
#include "integrity/manifest_trust.h"
#include "program_run_win.h"
#include "support/console_simulator.h"
#include "support/selfupdate_kit.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

const std::string kRelease = "/updates/3.0.5/";
const std::string kUpdaterKey = "SOFTWARE\\VESK\\Updater";
const std::string kOldCurl = "libcurl of an older release";
const std::string kModeLine =
    "INFO Trusted-release mode: only manifests signed with the built-in release key are trusted";

std::string trustedBuild() {
    return executableDirectory() + "\\trusted_program\\VESK_Updater.exe";
}
std::string served(const std::string& name) {
    return readFileBytes(executableDirectory() + "\\trusted_program\\fixtures\\" + name);
}
std::optional<std::string> stored(const std::string& valueName) {
    const vesk::updater::StoredText value = vesk::updater::readUpdaterValue(valueName);
    return value.state == vesk::updater::StoredState::Present ? std::optional<std::string>(value.text)
                                                                : std::nullopt;
}
const std::string kStableRecord = "LastTrustedRelease.stable";

// One install folder of the trusted build with an outdated libcurl.dll, the server on the built-in
// address publishing release 3.0.5 under the given manifest, and the stored record set as given.
struct TrustedRun {
    ProgramInstall install{trustedBuild()};
    std::unique_ptr<HttpTestServer> server = serverOnDefaultPort(5min);
    ScopedMachineValue installPath{"SOFTWARE\\Corvanne\\VESK", "InstallPath", install.path()};
    ScopedMachineValue baseUrls;
    ScopedMachineValue record;
    // Whatever earlier runs stored is put aside for this one and restored afterwards.
    ScopedMachineValue stableRecord{kUpdaterKey, kStableRecord, std::nullopt};
    ScopedMachineValue betaRecord{kUpdaterKey, "LastTrustedRelease.beta", std::nullopt};
    ScopedMachineValue keyChain{kUpdaterKey, "TrustedKeyChain", std::nullopt};

    TrustedRun(const std::string& manifest, const std::optional<std::string>& recorded,
               const std::string& curlServed = "libcurl.dll",
               const std::optional<std::string>& mirror = std::nullopt)
        : baseUrls(kUpdaterKey, "BaseUrls", mirror), record(kUpdaterKey, "LastTrustedRelease", recorded) {
        installSimulator(install.path(), "line Update completed successfully\nexit 0\n");
        writeFileBytes(install.file("libcurl.dll"), kOldCurl);
        if (!server) {
            return;
        }
        server->respond("/manifest.json", 200, served(manifest));
        for (const char* name : {"VESK_Updater.exe", "libcurl.dll"}) {
            server->respond(kRelease + name + ".zip", 404, "no archive");
        }
        server->respond(kRelease + "VESK_Updater.exe", 200, served("VESK_Updater.exe"));
        server->respond(kRelease + "libcurl.dll", 200, served(curlServed));
    }

    ~TrustedRun() { EXPECT_TRUE(waitUntilNoProcessInside(install.path(), 60s)); }
};

} // namespace

TEST(TrustedReleaseProgram, ManifestsItCannotTrustChangeNothingAndTheUpdateStillRuns) {
    const std::string built = readFileBytes(trustedBuild());
    struct Case {
        const char* manifest;
        std::optional<std::string> record;
        const char* curlServed;
        std::string reason; // "" for a trusted manifest
        bool alsoRestartStart;
    };
    const Case cases[] = {
        {"manifest_no_digest.json", std::nullopt, "libcurl.dll", "", false},
        {"manifest_unsigned.json", std::nullopt, "libcurl.dll", "it has no signature", false},
        {"manifest_placeholder.json", std::nullopt, "libcurl.dll", "its signature is a placeholder", false},
        {"manifest_other_key.json", std::nullopt, "libcurl.dll",
         "its signature does not verify with the built-in release key", false},
        {"manifest_tampered.json", std::nullopt, "forged_libcurl.dll",
         "its signature does not verify with the built-in release key", true},
        {"manifest_trusted.json", "3.1|1|2026-01-01T00:00:00Z", "libcurl.dll",
         "version 3.0 build 5 is older than the last trusted release, version 3.1 build 1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manifest);
        TrustedRun scene(c.manifest, c.record, c.curlServed);
        ASSERT_NE(scene.server, nullptr);
        const ProgramRun run = runProgram(scene.install.program(), "", 3min);
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, 0u);
        const std::string verdict =
            c.reason.empty()
                ? "INFO Manifest trusted: signed with the built-in release key (version 3.0 build 5)"
                : "ERROR Manifest not trusted: " + c.reason + "; nothing will be installed from it";
        // Signed without digests: trusted, but a download cannot be tied to the signature.
        const std::vector<std::string> rejected = {
            "INFO Keeping mismatched file until a verified replacement arrives: " +
                scene.install.file("libcurl.dll"),
            "WARNING Rejected download of libcurl.dll: the signed manifest gives no sha256 to verify it "
            "against",
            "ERROR Failed to download libcurl.dll. Attempts:\n  - " VESK_TEST_DEFAULT_BASE_URL + kRelease +
                "libcurl.dll.zip\n  - " VESK_TEST_DEFAULT_BASE_URL + kRelease + "libcurl.dll\n"};
        std::vector<std::string> expected = {kModeLine,
                                             "INFO === Manifest Signature Verification (Log-Only) ===",
                                             "INFO === End Signature Verification ===", verdict};
        if (c.reason.empty()) {
            expected.insert(expected.end(), rejected.begin(), rejected.end());
        }
        expected.push_back("INFO Core file verification completed - proceeding with normal startup");
        expected.push_back("INFO Update process completed with result: SUCCESS");
        EXPECT_TRUE(messagesInOrder(logMessages(scene.install.log()), expected));
        EXPECT_EQ(readFileBytes(scene.install.file("libcurl.dll")), kOldCurl);
        EXPECT_EQ(readFileBytes(scene.install.program()), built);
        EXPECT_FALSE(fileExists(scene.install.file("update\\VESK_Updater.exe")));
        if (c.reason.empty()) {
            EXPECT_EQ(stored(kStableRecord), std::optional<std::string>("3.0|5"));
            continue;
        }
        EXPECT_EQ(scene.server->requestedPaths(), std::vector<std::string>{"/manifest.json"});
        EXPECT_EQ(stored("LastTrustedRelease"), c.record);
        EXPECT_EQ(stored(kStableRecord), std::nullopt);

        if (c.alsoRestartStart) {
            // A copy told to replace the program refuses on the word of this manifest.
            const std::string copy = scene.install.file("update\\VESK_Updater.exe");
            ASSERT_TRUE(::CreateDirectoryA(scene.install.file("update").c_str(), nullptr));
            ASSERT_TRUE(::CopyFileA(scene.install.program().c_str(), copy.c_str(), FALSE));
            const ProgramRun restart = runProgram(copy, "--restart-start -pid 4294967280", 2min);
            ASSERT_TRUE(restart.ended);
            EXPECT_EQ(restart.exitCode, 1u);
            EXPECT_TRUE(messagesInOrder(
                logMessages(scene.install.copyLog()),
                {kModeLine, "INFO === Self-Update Flow: restart-start mode ===",
                 "ERROR Manifest not trusted: " + c.reason + "; nothing will be installed from it",
                 "ERROR Refusing to replace the program: the manifest is not trusted"}));
            EXPECT_EQ(readFileBytes(scene.install.program()), built);
            EXPECT_FALSE(fileExists(scene.install.file("VESK_Updater.exe.tmp")));
        }
    }
}

TEST(TrustedReleaseProgram, SignedReleaseRepairsFilesReplacesTheProgramAndBecomesTheRecord) {
    // The built-in server hands out a forged libcurl.dll; the mirror after it has the released one.
    HttpTestServer mirror;
    mirror.respond(kRelease + "libcurl.dll.zip", 404, "no archive");
    mirror.respond(kRelease + "libcurl.dll", 200, served("libcurl.dll"));
    TrustedRun scene("manifest_trusted.json", "2.9|40|2025-12-01T00:00:00Z", "forged_libcurl.dll",
                     mirror.baseUrl());
    ASSERT_NE(scene.server, nullptr);
    const ProgramRun first = runProgram(scene.install.program(), "", 3min);
    ASSERT_TRUE(first.ended);
    EXPECT_EQ(first.exitCode, 0u);
    ASSERT_TRUE(waitUntilNoProcessInside(scene.install.path(), 3min));

    const std::string trustedLine =
        "INFO Manifest trusted: signed with the built-in release key (version 3.0 build 5)";
    EXPECT_TRUE(messagesInOrder(
        logMessages(scene.install.log()),
        {kModeLine, trustedLine, "INFO VESK_Updater.exe hash mismatch - initiating self-update process",
         "INFO New process spawned successfully - exiting current process",
         // the new program, after the copy replaced it
         "INFO Command line: --restart-done", trustedLine,
         "INFO VESK_Updater.exe hash matches - no self-update needed",
         "INFO File size mismatch for libcurl.dll: size mismatch (expected " +
             std::to_string(served("libcurl.dll").size()) + ", actual " + std::to_string(kOldCurl.size()) +
             ")",
         "INFO Keeping mismatched file until a verified replacement arrives: " +
             scene.install.file("libcurl.dll"),
         "INFO Successfully updated: libcurl.dll", "INFO Update process completed with result: SUCCESS"}));
    EXPECT_EQ(countStartingWith(logMessages(scene.install.log()),
                                "WARNING Rejected download of libcurl.dll: size mismatch (expected "),
              1u);
    EXPECT_TRUE(
        messagesInOrder(logMessages(scene.install.copyLog()),
                        {kModeLine, trustedLine, "INFO Verification passed - replacing VESK_Updater.exe"}));
    EXPECT_EQ(readFileBytes(scene.install.program()), served("VESK_Updater.exe"));
    EXPECT_EQ(readFileBytes(scene.install.file("libcurl.dll")), served("libcurl.dll"));
    // Kept until the verified copy arrived, so the old file was backed up before it was replaced.
    EXPECT_EQ(readFileBytes(scene.install.file("backup\\libcurl.dll.backup")), kOldCurl);
    EXPECT_EQ(stored(kStableRecord), std::optional<std::string>("3.0|5"));
}

TEST(TrustedReleaseProgram, BadServersFailWithinAMinuteEachAndTheNextServerIsTried) {
    // A server that answers the headers and then sends nothing, one that sends a byte every 5 s, and a good
    // mirror, in that order after the built-in server, which has only a 404 page for libcurl.dll.
    HttpTestServer stalled;
    HttpTestServer trickling;
    HttpTestServer good;
    const std::string wanted = kRelease + "libcurl.dll";
    for (HttpTestServer* mirror : {&stalled, &trickling, &good}) {
        mirror->respond(wanted + ".zip", 404, "no archive");
    }
    ScriptedResponse stall;
    stall.body = served("libcurl.dll");
    stall.trickleInterval = 10min;
    stalled.respond(wanted, stall);
    ScriptedResponse trickle;
    trickle.body = served("libcurl.dll");
    trickle.trickleInterval = 5s;
    trickling.respond(wanted, trickle);
    good.respond(wanted, 200, served("libcurl.dll"));

    TrustedRun scene("manifest_trusted.json", std::nullopt, "libcurl.dll",
                     stalled.baseUrl() + ";" + trickling.baseUrl() + ";" + good.baseUrl());
    ASSERT_NE(scene.server, nullptr);
    // The installed program is the released one, so only libcurl.dll needs the servers.
    writeFileBytes(scene.install.program(), served("VESK_Updater.exe"));
    const std::string builtIn = VESK_TEST_DEFAULT_BASE_URL;
    const std::string result = "INFO Update process completed with result: SUCCESS";

    // Without a manifest there is nothing to check against: the 404 page fails at once and the console
    // updater still runs.
    scene.server->respond("/manifest.json", 404, "<html>not found</html>");
    const ProgramRun withoutManifest = runProgram(scene.install.program(), "", 3min);
    ASSERT_TRUE(withoutManifest.ended);
    EXPECT_EQ(withoutManifest.exitCode, 0u);
    EXPECT_TRUE(messagesInOrder(
        logMessages(scene.install.log()),
        {kModeLine, "ERROR Download failed: HTTP status 404 from " + builtIn + "/manifest.json", result}));
    for (const std::string& path : scene.server->requestedPaths()) {
        EXPECT_EQ(path, "/manifest.json");
    }
    EXPECT_EQ(readFileBytes(scene.install.file("libcurl.dll")), kOldCurl);
    ASSERT_TRUE(waitUntilNoProcessInside(scene.install.path(), 60s));
    ::DeleteFileA(scene.install.log().c_str());

    scene.server->respond("/manifest.json", 200, served("manifest_trusted.json"));
    scene.server->respond(wanted, 404, "<html>not found</html>");
    scene.server->clearRecord();
    ProgramRun run;
    std::thread runner([&] { run = runProgram(scene.install.program(), "", 5min); });
    // When each server was first asked for path; the time the one before it took to fail is the gap.
    const auto arrival = [](const HttpTestServer& server, const std::string& path) {
        const auto asked = [&] {
            const std::vector<std::string> paths = server.requestedPaths();
            return std::find(paths.begin(), paths.end(), path) != paths.end();
        };
        EXPECT_TRUE(waitUntil(asked, 2min)) << server.baseUrl() << path;
        return std::chrono::steady_clock::now();
    };
    const auto notFoundAsked = arrival(*scene.server, wanted);
    const auto stallAsked = arrival(stalled, wanted);
    const auto trickleAsked = arrival(trickling, wanted);
    const auto goodAsked = arrival(good, wanted);
    runner.join();
    const auto seconds = [](auto from, auto to) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count() / 1000.0;
    };
    const double notFound = seconds(notFoundAsked, stallAsked);
    const double stallFailed = seconds(stallAsked, trickleAsked);
    const double trickleFailed = seconds(trickleAsked, goodAsked);
    std::printf("failed after: 404 page %.1f s, stalled %.1f s, trickling %.1f s\n", notFound, stallFailed,
                trickleFailed);
    for (double elapsed : {notFound, stallFailed, trickleFailed}) {
        EXPECT_LT(elapsed, 120.0);
    }
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);

    const std::string fromStalled = stalled.baseUrl() + wanted;
    const std::string fromTrickling = trickling.baseUrl() + wanted;
    EXPECT_TRUE(messagesInOrder(
        logMessages(scene.install.log()),
        {kModeLine, "INFO Manifest trusted: signed with the built-in release key (version 3.0 build 5)",
         "INFO VESK_Updater.exe hash matches - no self-update needed",
         "ERROR Download failed: HTTP status 404 from " + builtIn + wanted,
         "ERROR Download failed: HTTP status 404 from " + stalled.baseUrl() + wanted + ".zip",
         "ERROR Download timed out: " + fromStalled,
         "ERROR Download failed: HTTP status 404 from " + trickling.baseUrl() + wanted + ".zip",
         "ERROR Download too slow: fewer than 1024 bytes in 60 s from " + fromTrickling,
         "INFO Successfully updated: libcurl.dll", result}));
    EXPECT_EQ(good.requestedPaths(), (std::vector<std::string>{wanted + ".zip", wanted}));
    EXPECT_EQ(readFileBytes(scene.install.file("libcurl.dll")), served("libcurl.dll"));
    EXPECT_EQ(stored(kStableRecord), std::optional<std::string>("3.0|5"));
}

namespace {

// Runs the trusted build once with manifestFile served for channel ("" is stable) and returns its log
// messages; the log is removed first, so only this run's lines are returned.
std::vector<std::string> runWith(TrustedRun& scene, const std::string& manifestFile,
                                 const std::string& channel = "") {
    const std::string path = channel.empty() ? "/manifest.json" : "/manifest-" + channel + ".json";
    scene.server->respond(path, 200, served(manifestFile));
    ::DeleteFileA(scene.install.log().c_str());
    const ProgramRun run = runProgram(scene.install.program(), channel.empty() ? "" : "-c " + channel, 3min);
    EXPECT_TRUE(run.ended) << manifestFile;
    EXPECT_EQ(run.exitCode, 0u) << manifestFile;
    EXPECT_TRUE(waitUntilNoProcessInside(scene.install.path(), 60s));
    return logMessages(scene.install.log());
}

std::string refused(const std::string& reason) {
    return "ERROR Manifest not trusted: " + reason + "; nothing will be installed from it";
}
std::string trustedLine(const std::string& release) {
    return "INFO Manifest trusted: signed with the built-in release key (version " + release + ")";
}
const std::string kSucceeded = "INFO Update process completed with result: SUCCESS";

} // namespace

TEST(TrustedReleaseProgram, OnlySignedValuesOrderReleasesAndEachChannelKeepsItsOwnRecord) {
    TrustedRun scene("manifest_trusted.json", std::nullopt);
    ASSERT_NE(scene.server, nullptr);
    // An accepted 2.1/345 whose unsigned timestamp is 2,000 characters long is recorded by its signed values.
    EXPECT_TRUE(messagesInOrder(runWith(scene, "decide_2.1_long_timestamp.json"),
                                {trustedLine("2.1 build 345"), kSucceeded}));
    EXPECT_EQ(stored(kStableRecord), std::optional<std::string>("2.1|345"));
    // A genuinely signed older release with a later timestamp is a rollback.
    EXPECT_TRUE(messagesInOrder(
        runWith(scene, "decide_2.0.json"),
        {refused("version 2.0 build 100 is older than the last trusted release, version 2.1 build 345"),
         kSucceeded}));
    // A signed beta manifest at the stable address changes nothing on stable.
    EXPECT_TRUE(messagesInOrder(runWith(scene, "decide_beta.json"),
                                {refused("it is signed for channel \"beta\", not for channel \"stable\""),
                                 kSucceeded}));
    EXPECT_EQ(stored(kStableRecord), std::optional<std::string>("2.1|345"));
    EXPECT_EQ(stored("LastTrustedRelease.beta"), std::nullopt);
    // On the beta channel it is accepted and recorded for beta only; back on stable, 2.1/345 still is.
    EXPECT_TRUE(messagesInOrder(runWith(scene, "decide_beta.json", "beta"),
                                {"INFO Channel: beta", trustedLine("3.1 build 7"), kSucceeded}));
    EXPECT_EQ(stored("LastTrustedRelease.beta"), std::optional<std::string>("3.1|7"));
    EXPECT_TRUE(messagesInOrder(runWith(scene, "decide_2.1_long_timestamp.json"),
                                {trustedLine("2.1 build 345"), kSucceeded}));
    EXPECT_EQ(stored(kStableRecord), std::optional<std::string>("2.1|345"));
}

TEST(TrustedReleaseProgram, ExpiryAndKeySuccessionDecideAndASignerCannotWriteLogLines) {
    using vesk::updater::keyIdOf;
    TrustedRun scene("manifest_trusted.json", std::nullopt);
    ASSERT_NE(scene.server, nullptr);
    const std::vector<std::string> expired = runWith(scene, "decide_expired.json");
    EXPECT_EQ(countStartingWith(expired, "ERROR Manifest not trusted: it expired at 2020-01-01T00:00:00Z (this "
                                         "machine's clock says 20"),
              1u);
    EXPECT_TRUE(messagesInOrder(runWith(scene, "decide_unexpired.json"), {trustedLine("3.0 build 5"), kSucceeded}));

    const std::string stranger = keyIdOf(served("stranger_key.pub.txt"));
    EXPECT_TRUE(messagesInOrder(runWith(scene, "decide_untrusted_statement.json"),
                                {refused("key succession statement 1 (sequence 1) is signed by key " + stranger +
                                         ", which this program does not trust"),
                                 kSucceeded}));
    EXPECT_EQ(stored("TrustedKeyChain"), std::nullopt);

    // The build knows only the test key; the statement it signed hands over to the second key.
    const std::string second = keyIdOf(served("second_key.pub.txt"));
    EXPECT_TRUE(messagesInOrder(
        runWith(scene, "decide_rotation.json"),
        {"INFO Manifest trusted: signed with release key " + second + " of the key succession (version 3.0 build 5)",
         "INFO Manifest signing key: " + second +
             " (from the key succession); key succession: followed 1 statement to sequence 1; published: "
             "2026-03-01T10:00:00Z; expires: never",
         kSucceeded}));
    ASSERT_TRUE(stored("TrustedKeyChain"));
    EXPECT_EQ(stored("TrustedKeyChain")->rfind("{\"sequence\":1,", 0), 0u);
    EXPECT_TRUE(messagesInOrder(
        runWith(scene, "decide_retired_key.json"),
        {refused("it is signed with the retired release key " + keyIdOf(served("test_key.pub.txt"))), kSucceeded}));

    // A line break in the unsigned signer is written as an escape inside its own line.
    const std::vector<std::string> forged = runWith(scene, "decide_newline_signer.json");
    EXPECT_TRUE(messagesInOrder(
        forged, {"INFO   Signer: release team\\n[2026-03-01 10:00:00] [ERROR] [] forged line", kSucceeded}));
    EXPECT_EQ(countStartingWith(forged, "ERROR forged line"), 0u);
}
