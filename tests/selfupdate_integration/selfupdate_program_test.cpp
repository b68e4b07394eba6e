// The self-update steps as the real program runs them: a temporary install folder named in the registry,
// the loopback server on the program's built-in address, and the console updater simulator as Updater.exe.

#include "core/handles_win.h"
#include "program_run_win.h"
#include "support/console_simulator.h"
#include "support/selfupdate_kit.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

const std::string kInstallKey = "SOFTWARE\\Corvanne\\VESK";
const std::string kUpdaterKey = "SOFTWARE\\VESK\\Updater";
const std::string kRelease = "/updates/1.0.7/";
const std::string kSucceedingUpdate = "line Update completed successfully\nexit 0\n";

ScriptedResponse dropped() {
    ScriptedResponse response;
    response.dropWithoutResponse = true;
    return response;
}

std::string simulatorBytes() {
    return readFileBytes(executableDirectory() + "\\console_updater_simulator.exe");
}

std::string sizeOf(const std::string& bytes) {
    return std::to_string(bytes.size());
}

class WholeProgram : public ::testing::Test {
protected:
    ProgramInstall install;
    std::unique_ptr<HttpTestServer> server;
    std::optional<ScopedMachineValue> installPath;
    std::optional<ScopedMachineValue> baseUrls;

    void SetUp() override {
        server = serverOnDefaultPort(5min);
        ASSERT_NE(server, nullptr) << "the built-in server's port " VESK_TEST_DEFAULT_BASE_URL " stayed busy";
        installPath.emplace(kInstallKey, "InstallPath", install.path());
        baseUrls.emplace(kUpdaterKey, "BaseUrls", std::nullopt);
    }

    void TearDown() override {
        // Every process of the run started from the install folder; none may outlive the test.
        EXPECT_TRUE(waitUntilNoProcessInside(install.path(), 60s))
            << "a process of the run was still running";
    }

    void useSecondServer(const HttpTestServer& second) {
        baseUrls.reset();
        baseUrls.emplace(kUpdaterKey, "BaseUrls", second.baseUrl());
    }

    // The simulator plays this script whether it was installed by the test or fetched by the program.
    void scriptConsoleUpdater(const std::string& script) {
        ASSERT_TRUE(writeFileBytes(install.file("Updater.exe.script"), script));
    }

    ProgramRun run(const std::string& arguments) { return runProgram(install.program(), arguments, 3min); }

    std::vector<std::string> log() const { return logMessages(install.log()); }
};

} // namespace

TEST_F(WholeProgram, PreflightRepairsCoreFilesFromArchivePlainFileAndSecondServerBeforeTheUpdate) {
    const std::string simulator = simulatorBytes();
    const std::string zlib = readFileBytes(install.file("zlib1.dll"));
    const std::string newCurl = "libcurl of the release\n" + std::string(3000, 'c');
    const std::string newSodium = "libsodium of the release\n" + std::string(2000, 's');
    std::string oldSodium = newSodium;
    oldSodium[3] = '#';
    scriptConsoleUpdater(kSucceedingUpdate); // Updater.exe itself is missing
    ASSERT_TRUE(::CreateDirectoryA(install.file("bin").c_str(), nullptr));
    ASSERT_TRUE(writeFileBytes(install.file("bin\\libcurl.dll"), "an old libcurl"));
    ASSERT_TRUE(writeFileBytes(install.file("libsodium.dll"), oldSodium));

    HttpTestServer second;
    useSecondServer(second);
    server->respond(
        "/manifest-beta.json", 200,
        manifestDocument({
            manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(simulator)}},
                              {{"size", sizeOf(simulator)}}),
            manifestFileEntry("libcurl.dll",
                              {{"sha256", sha256Hex(newCurl)}, {"target_path", "bin\\libcurl.dll"}},
                              {{"size", sizeOf(newCurl)}}),
            manifestFileEntry("libsodium.dll", {{"sha256", toUpperCase(sha256Hex(newSodium))}},
                              {{"size", sizeOf(newSodium)}}),
            manifestFileEntry("zlib1.dll", {{"sha256", toUpperCase(sha256Hex(zlib))}},
                              {{"size", sizeOf(zlib)}}),
        }));
    // Updater.exe only as an archive, libcurl.dll only plain, libsodium.dll only on the second server.
    server->respond(kRelease + "Updater.exe.zip", 200, readFileBytes(integrationFixture("Updater.exe.zip")));
    server->respond(kRelease + "Updater.exe", dropped());
    server->respond(kRelease + "libcurl.dll.zip", dropped());
    server->respond(kRelease + "libcurl.dll", 200, newCurl);
    server->respond(kRelease + "libsodium.dll.zip", dropped());
    server->respond(kRelease + "libsodium.dll", dropped());
    second.respond(kRelease + "libsodium.dll.zip", 404, "not an archive");
    second.respond(kRelease + "libsodium.dll", 200, newSodium);

    ProgramRun result;
    {
        // Another program has libsodium.dll open for reading: it can be copied, but neither deleted nor
        // replaced.
        vesk::updater::FileHandle inUse(::CreateFileA(install.file("libsodium.dll").c_str(), GENERIC_READ,
                                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(inUse.valid());
        result = run("-c beta");
    }
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u);

    const auto messages = log();
    EXPECT_TRUE(messagesInOrder(
        messages, {"INFO Preflight channel: beta",
                   "INFO === Preflight Update Starting ===",
                   "INFO Channel: beta",
                   "INFO Downloading manifest from: " VESK_TEST_DEFAULT_BASE_URL "/manifest-beta.json",
                   "INFO Install directory: " + install.path(),
                   "INFO File missing: Updater.exe",
                   "INFO Successfully updated: Updater.exe",
                   "INFO File size mismatch for libcurl.dll: size mismatch (expected " + sizeOf(newCurl) +
                       ", actual 14)",
                   "INFO Successfully deleted corrupted file: libcurl.dll",
                   "INFO Successfully updated: libcurl.dll",
                   "INFO File hash mismatch for libsodium.dll: expected " +
                       toUpperCase(sha256Hex(newSodium)).substr(0, 16) + "..., actual " +
                       sha256Hex(oldSodium).substr(0, 16) + "...",
                   "INFO File verification passed for libsodium.dll",
                   "DEBUG Creating backup: " + install.file("backup\\libsodium.dll.backup"),
                   "DEBUG Backup created successfully",
                   "INFO Replacing libsodium.dll...",
                   "DEBUG File is current: zlib1.dll",
                   "INFO === Preflight Update Summary ===",
                   "INFO Files checked: 4",
                   "INFO Files needing update: 3",
                   "INFO Files successfully updated: 2",
                   "INFO Preflight update completed",
                   "INFO Core file verification completed - proceeding with normal startup",
                   "INFO Using console updater: " + install.file("Updater.exe"),
                   "INFO Update process completed with result: SUCCESS"}));
    EXPECT_EQ(
        countStartingWith(messages, "ERROR Exception while deleting hash-mismatched file libsodium.dll: "),
        1u);
    EXPECT_EQ(countStartingWith(messages, "ERROR Failed to replace libsodium.dll: Error "), 1u);

    EXPECT_EQ(readFileBytes(install.file("Updater.exe")), simulator);
    EXPECT_EQ(readFileBytes(install.file("bin\\libcurl.dll")), newCurl);
    EXPECT_FALSE(fileExists(install.file("libcurl.dll")));
    EXPECT_EQ(readFileBytes(install.file("libsodium.dll")), oldSodium);
    EXPECT_EQ(readFileBytes(install.file("backup\\libsodium.dll.backup")), oldSodium);
    EXPECT_FALSE(fileExists(install.file("backup\\Updater.exe.backup")));
    EXPECT_FALSE(fileExists(install.file("backup\\libcurl.dll.backup")));
    for (const char* name : {"Updater.exe", "libcurl.dll", "libsodium.dll"}) {
        EXPECT_FALSE(fileExists(install.file(std::string(name) + ".tmp_preflight"))) << name;
    }
    // The fetched console updater really ran, with the channel.
    const auto record = readSimulatorRecord(install.file("Updater.exe"));
    ASSERT_TRUE(record.count("command_line"));
    EXPECT_NE(record.at("command_line").find("--channel beta"), std::string::npos)
        << record.at("command_line");

    // A dropped connection is asked twice more before the next candidate.
    const std::vector<std::string> askedDefault = {
        "/manifest-beta.json",          kRelease + "Updater.exe.zip",   kRelease + "libcurl.dll.zip",
        kRelease + "libcurl.dll.zip",   kRelease + "libcurl.dll.zip",   kRelease + "libcurl.dll",
        kRelease + "libsodium.dll.zip", kRelease + "libsodium.dll.zip", kRelease + "libsodium.dll.zip",
        kRelease + "libsodium.dll",     kRelease + "libsodium.dll",     kRelease + "libsodium.dll"};
    EXPECT_EQ(server->requestedPaths(), askedDefault);
    const std::vector<std::string> askedSecond = {kRelease + "libsodium.dll.zip", kRelease + "libsodium.dll"};
    EXPECT_EQ(second.requestedPaths(), askedSecond);
}

TEST_F(WholeProgram, RootLevelManifestWithRejectedDownloadsAndMissingEntryStillEndsNormally) {
    const std::string simulator = simulatorBytes();
    const std::string curl = "libcurl served without size or digest";
    const std::string sodium = "libsodium of another size";
    scriptConsoleUpdater(kSucceedingUpdate);
    // No "manifest" key: the root is the manifest object. zlib1.dll has no entry at all.
    server->respond(
        "/manifest.json", 200,
        manifestDocument({manifestFileEntry("Updater.exe", {{"sha256", sha256Hex("another updater")}}),
                          manifestFileEntry("libcurl.dll", {}),
                          manifestFileEntry("libsodium.dll", {}, {{"size", "4096"}})},
                         "1.0", "7", /*nested=*/false));
    server->respond(kRelease + "Updater.exe.zip", 404, "none");
    server->respond(kRelease + "Updater.exe", 200, simulator);
    server->respond(kRelease + "libcurl.dll.zip", 404, "none");
    server->respond(kRelease + "libcurl.dll", 200, curl);
    server->respond(kRelease + "libsodium.dll.zip", 404, "none");
    server->respond(kRelease + "libsodium.dll", 200, sodium);

    const ProgramRun result = run("");
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u); // a failed update still ends the window run normally

    const auto messages = log();
    const std::string updaterRejected =
        "ERROR Downloaded file verification failed for Updater.exe: hash mismatch (expected " +
        sha256Hex("another updater").substr(0, 16) + "..., actual " + sha256Hex(simulator).substr(0, 16) +
        "...)";
    EXPECT_TRUE(messagesInOrder(
        messages,
        {"INFO Preflight channel: stable",
         "ERROR No 'manifest' object found in downloaded JSON - using root level",
         "INFO Manifest version: 1.0 build: 7", updaterRejected,
         "INFO File verification passed for libcurl.dll", "INFO Successfully updated: libcurl.dll",
         "ERROR Downloaded file verification failed for libsodium.dll: size mismatch (expected 4096, "
         "downloaded " +
             sizeOf(sodium) + ")",
         "WARNING File not found in manifest files array: zlib1.dll", "INFO Files checked: 4",
         "INFO Files needing update: 3", "INFO Files successfully updated: 1",
         // The update thread asks the preflight again for the missing console updater, in vain.
         "WARNING Console updater not found - attempting download via preflight", updaterRejected,
         "DEBUG File is current: libcurl.dll", "INFO Files needing update: 2",
         "INFO Files successfully updated: 0", "ERROR Could not find or download Updater.exe console version",
         "INFO Update process completed with result: FAILURE"}));
    EXPECT_EQ(countStartingWith(messages, "DEBUG Creating backup"), 0u);
    EXPECT_EQ(readFileBytes(install.file("libcurl.dll")), curl);
    EXPECT_FALSE(fileExists(install.file("Updater.exe")));
    EXPECT_FALSE(fileExists(install.file("libsodium.dll")));
    EXPECT_EQ(readSimulatorRecord(install.file("Updater.exe")).size(), 0u);
}

TEST_F(WholeProgram, ManifestThatIsNotJsonIsLoggedAndTheUpdateGoesOn) {
    installSimulator(install.path(), kSucceedingUpdate);
    server->respond("/manifest.json", 200, "Service temporarily unavailable");

    const ProgramRun result = run("");
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(messagesInOrder(
        log(), {"INFO Manifest downloaded successfully  (31 bytes)",
                "ERROR No 'manifest' object found in downloaded JSON - using root level",
                "WARNING File not found in manifest files array: Updater.exe",
                "WARNING File not found in manifest files array: libcurl.dll",
                "WARNING File not found in manifest files array: libsodium.dll",
                "WARNING File not found in manifest files array: zlib1.dll", "INFO Files checked: 4",
                "INFO Files needing update: 0", "INFO Files successfully updated: 0",
                "INFO Update process completed with result: SUCCESS"}));
    EXPECT_EQ(server->requestedPaths(), std::vector<std::string>{"/manifest.json"});
}

TEST_F(WholeProgram, MissingConsoleUpdaterIsFetchedByThePreflightOnTheUpdateThread) {
    const std::string simulator = simulatorBytes();
    scriptConsoleUpdater(kSucceedingUpdate);
    // The start-up preflight finds no manifest (the server is down for it); by the time the update thread
    // asks again, the manifest is there.
    ScriptedResponse down = dropped();
    down.delay = 2s;
    server->respond("/manifest.json", down);
    server->respond(kRelease + "Updater.exe.zip", 404, "none");
    server->respond(kRelease + "Updater.exe", 200, simulator);

    std::optional<ProgramRun> result;
    std::thread runner([&] { result = run(""); });
    // The first request and its two retries.
    const bool firstAsked = server->waitForRequests(3, 60s);
    // Scripted while the first answer is still held back, so the update thread's request gets the manifest.
    server->respond("/manifest.json", 200,
                    manifestDocument({manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(simulator)}})}));
    runner.join();
    ASSERT_TRUE(firstAsked);
    ASSERT_TRUE(result && result->ended);
    EXPECT_EQ(result->exitCode, 0u);

    const std::string updater = install.file("Updater.exe");
    EXPECT_TRUE(messagesInOrder(
        log(),
        {"WARNING Failed to download manifest - skipping preflight update",
         "INFO Core file verification completed - proceeding with normal startup",
         "WARNING Console updater not found - attempting download via preflight",
         "INFO === Preflight Update Starting ===", "INFO File missing: Updater.exe",
         "INFO Successfully updated: Updater.exe", "INFO Files successfully updated: 1",
         "INFO Console updater successfully downloaded via preflight: " + updater,
         "INFO Using console updater: " + updater, "INFO Update process completed with result: SUCCESS"}));
    EXPECT_EQ(readFileBytes(updater), simulator);
    EXPECT_TRUE(readSimulatorRecord(updater).count("command_line"));
    const std::vector<std::string> asked = {"/manifest.json", "/manifest.json", "/manifest.json", "/manifest.json",
                                            kRelease + "Updater.exe.zip", kRelease + "Updater.exe"};
    EXPECT_EQ(server->requestedPaths(), asked);
}
