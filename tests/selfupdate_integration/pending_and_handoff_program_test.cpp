// The deferred self-update and the temp-copy handoff as the real program runs them: a temporary install
// folder named in the registry, the loopback server on the program's built-in address (answering that it
// has no manifest, so the start-up repair steps aside), and the console updater simulator as Updater.exe.

#include "core/handles_win.h"
#include "program_run_win.h"
#include "support/child_input_win.h"
#include "support/console_simulator.h"
#include "support/selfupdate_kit.h"

#include <gtest/gtest.h>

#include <optional>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

const std::string kInstallKey = "SOFTWARE\\Corvanne\\VESK";
const std::string kUpdaterKey = "SOFTWARE\\VESK\\Updater";

class DeferredAndHandoffProgram : public ::testing::Test {
protected:
    ProgramInstall install;
    std::unique_ptr<HttpTestServer> server;
    std::optional<ScopedMachineValue> installPath;
    std::optional<ScopedMachineValue> baseUrls;
    std::optional<ScopedMachineValue> pendingManifest;
    std::optional<ScopedMachineValue> pendingTimestamp;

    void SetUp() override {
        server = serverOnDefaultPort(5min);
        ASSERT_NE(server, nullptr) << "the built-in server's port " VESK_TEST_DEFAULT_BASE_URL " stayed busy";
        server->respond("/manifest.json", 404, "no manifest");
        server->respond("/manifest-beta.json", 404, "no manifest");
        installPath.emplace(kInstallKey, "InstallPath", install.path());
        baseUrls.emplace(kUpdaterKey, "BaseUrls", std::nullopt);
    }

    void TearDown() override {
        EXPECT_TRUE(waitUntilNoProcessInside(install.path(), 60s))
            << "a process of the run was still running";
    }

    // The record another program of the product leaves: the pending manifest and the registry values.
    void leavePendingRecord(const std::string& manifestText) {
        const std::string manifestPath = install.file("pending_update.json");
        ASSERT_TRUE(writeFileBytes(manifestPath, manifestText));
        pendingManifest.emplace(kUpdaterKey, "PendingSelfUpdateManifest", manifestPath);
        pendingTimestamp.emplace(kUpdaterKey, "PendingSelfUpdateTimestamp", "1767596889");
    }

    static bool pendingValuePresent(const char* name) {
        vesk::updater::RegKey key;
        return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUpdaterKey.c_str(), 0, KEY_READ, key.put()) ==
                   ERROR_SUCCESS &&
               ::RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

    // Started like a script would start it: standard input is a pipe that never delivers anything.
    DetachedRun runDeferredUpdate() {
        const SilentInputPipe input;
        std::string commandLine = "\"";
        commandLine += install.program() + "\" --process-self-update";
        return runDetachedWithInput(commandLine, install.path(), input.childEnd(), 3min);
    }

    std::string pendingManifestFor(const std::string& source, const std::string& name,
                                   const std::string& sha256) {
        return "{\n  \"install_directory\": " + jsonString(install.path()) + ",\n  \"files\": [\n    {" +
               "\"source_path\": " + jsonString(source) + ", \"target_name\": " + jsonString(name) +
               ", \"target_path\": " + jsonString(install.file(name)) +
               ", \"expected_sha256\": " + jsonString(sha256) + "}\n  ]\n}\n";
    }
};

} // namespace

TEST_F(DeferredAndHandoffProgram, TheDeferredSelfUpdateReplacesFilesAndEndsWithoutWaitingForAKey) {
    const std::string fresh = "libcurl of the new release";
    ASSERT_TRUE(writeFileBytes(install.file("libcurl.dll"), "libcurl in use today"));
    ASSERT_TRUE(writeFileBytes(install.file("libcurl.dll.new"), fresh));
    leavePendingRecord(pendingManifestFor(install.file("libcurl.dll.new"), "libcurl.dll", sha256Hex(fresh)));

    const DetachedRun run = runDeferredUpdate();

    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.ended) << "the deferred self-update did not end";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(readFileBytes(install.file("libcurl.dll")), fresh);
    EXPECT_EQ(readFileBytes(install.file("backup\\libcurl.dll.backup")), "libcurl in use today");
    EXPECT_FALSE(fileExists(install.file("libcurl.dll.new")));
    EXPECT_FALSE(fileExists(install.file("pending_update.json")));
    EXPECT_FALSE(pendingValuePresent("PendingSelfUpdateManifest"));
    EXPECT_FALSE(pendingValuePresent("PendingSelfUpdateTimestamp"));
    const auto messages = logMessages(install.log());
    EXPECT_TRUE(messagesInOrder(messages, {
                                              "INFO Self-update processing flag detected",
                                              "INFO Processing self-update request...",
                                              "INFO Elevated - processing self-update now",
                                              "INFO === Self-Update Processing Starting ===",
                                              "INFO Found pending self-update registry entry",
                                              "INFO Registry flags cleared successfully",
                                              "INFO Files processed: 1",
                                              "INFO Files successful: 1",
                                              "INFO Self-update processing completed successfully",
                                          }));
    // The mode ends the process: no window, no console updater.
    EXPECT_FALSE(containsMessage(messages, "INFO Now run the update thread for normal workflow"));
}

TEST_F(DeferredAndHandoffProgram, AFileThatFailsKeepsTheRecordAndTheNextRunPlacesIt) {
    const std::string fresh = "libsodium of the new release";
    ASSERT_TRUE(writeFileBytes(install.file("libsodium.dll"), "libsodium in use today"));
    ASSERT_TRUE(writeFileBytes(install.file("libsodium.dll.new"), fresh));
    leavePendingRecord(pendingManifestFor(install.file("libsodium.dll.new"), "libsodium.dll",
                                          toUpperCase(sha256Hex(fresh))));

    const DetachedRun run = runDeferredUpdate();

    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(readFileBytes(install.file("libsodium.dll")), "libsodium in use today");
    EXPECT_TRUE(fileExists(install.file("libsodium.dll.new")));
    EXPECT_TRUE(fileExists(install.file("pending_update.json")));
    EXPECT_TRUE(pendingValuePresent("PendingSelfUpdateManifest"));
    EXPECT_TRUE(
        messagesInOrder(logMessages(install.log()),
                        {
                            "ERROR Pending self-update kept for the next run; not placed: libsodium.dll",
                            "INFO Files processed: 1",
                            "INFO Files successful: 0",
                            "ERROR Self-update processing completed with errors",
                        }));

    // The writer corrects its record; the next run finds it and finishes.
    ASSERT_TRUE(writeFileBytes(
        install.file("pending_update.json"),
        pendingManifestFor(install.file("libsodium.dll.new"), "libsodium.dll", sha256Hex(fresh))));
    const DetachedRun again = runDeferredUpdate();

    ASSERT_TRUE(again.ended);
    EXPECT_EQ(again.exitCode, 0u);
    EXPECT_EQ(readFileBytes(install.file("libsodium.dll")), fresh);
    EXPECT_EQ(readFileBytes(install.file("backup\\libsodium.dll.backup")), "libsodium in use today");
    EXPECT_FALSE(fileExists(install.file("libsodium.dll.new")));
    EXPECT_FALSE(fileExists(install.file("pending_update.json")));
    EXPECT_FALSE(pendingValuePresent("PendingSelfUpdateManifest"));
}

// The trusted build places nothing its key does not cover; a record it can vouch for is placed as usual.
TEST_F(DeferredAndHandoffProgram, ATrustedBuildRefusesFilesWithoutHashOrOutsideItsFolder) {
    ASSERT_TRUE(writeFileBytes(install.program(),
                               readFileBytes(executableDirectory() + "\\trusted_program\\VESK_Updater.exe")));
    const std::string fresh = "libcurl of the new release";
    const std::string outside = "..\\vesk-outside-" + std::to_string(::GetCurrentProcessId()) + ".dll";
    const struct {
        std::string name, sha256, refusal;
    } cases[] = {
        {"libcurl.dll", "", "no expected SHA-256 for libcurl.dll"},
        {outside, sha256Hex(fresh), "target outside the install folder "},
        {"libcurl.dll", sha256Hex(fresh), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " " + c.refusal);
        ASSERT_TRUE(writeFileBytes(install.file(c.name), "libcurl in use today"));
        ASSERT_TRUE(writeFileBytes(install.file("libcurl.dll.new"), fresh));
        leavePendingRecord(pendingManifestFor(install.file("libcurl.dll.new"), c.name, c.sha256));

        const DetachedRun run = runDeferredUpdate();

        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, c.refusal.empty() ? 0u : 1u);
        EXPECT_EQ(readFileBytes(install.file(c.name)), c.refusal.empty() ? fresh : "libcurl in use today");
        EXPECT_EQ(pendingValuePresent("PendingSelfUpdateManifest"), !c.refusal.empty());
        EXPECT_EQ(countStartingWith(logMessages(install.log()),
                                    "ERROR Refusing the pending self-update: " + c.refusal),
                  c.refusal.empty() ? 2u : 1u);
    }
    ::DeleteFileA(install.file(outside).c_str());
}

TEST_F(DeferredAndHandoffProgram,
       AfterASuccessfulUpdateAWaitingTempCopyGoesToTheConsoleUpdaterWithTheChannel) {
    const std::string consoleUpdater =
        installSimulator(install.path(), "line Update completed successfully\nexit 0\n");
    ASSERT_TRUE(writeFileBytes(install.file("VESK_Updater_temp.exe"), "the next program"));

    const ProgramRun run = runProgram(install.program(), "-c beta", 3min);

    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    // The console updater started by the handoff ends on its own; its record is the last start's.
    ASSERT_TRUE(waitUntilNoProcessInside(install.path(), 60s));
    const auto record = readSimulatorRecord(consoleUpdater);
    EXPECT_EQ(record.at("command_line"), "\"" + consoleUpdater + "\" --channel beta");
    EXPECT_EQ(record.at("working_directory"), install.path());
    EXPECT_EQ(record.at("show_window"), "0");
    EXPECT_TRUE(messagesInOrder(logMessages(install.log()),
                                {
                                    "INFO Update process completed with result: SUCCESS",
                                    "INFO Checking for pending self-update after successful update...",
                                    "INFO Checking for VESK_Updater_temp.exe...",
                                    "INFO Checking temp file: " + install.file("VESK_Updater_temp.exe"),
                                    "INFO === VESK_Updater_temp.exe detected! ===",
                                    "INFO Updater.exe found at: " + consoleUpdater,
                                    "INFO Passing channel to Updater.exe: -- beta",
                                    "INFO Updater.exe launched successfully",
                                    "INFO VESK_Updater.exe will now exit to allow replacement",
                                    "INFO Self-update detected - bootstrap process initiated",
                                }));
    EXPECT_EQ(readFileBytes(install.file("VESK_Updater_temp.exe")), "the next program");
}

TEST_F(DeferredAndHandoffProgram, TheDefaultChannelHandsOverWithoutParameters) {
    const std::string consoleUpdater =
        installSimulator(install.path(), "line Update completed successfully\nexit 0\n");
    ASSERT_TRUE(writeFileBytes(install.file("VESK_Updater_temp.exe"), "the next program"));

    const ProgramRun run = runProgram(install.program(), "", 3min);

    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_TRUE(waitUntilNoProcessInside(install.path(), 60s));
    const auto record = readSimulatorRecord(consoleUpdater);
    EXPECT_EQ(record.at("command_line"), "\"" + consoleUpdater + "\"");
    EXPECT_EQ(record.at("working_directory"), install.path());
    const auto messages = logMessages(install.log());
    EXPECT_TRUE(containsMessage(messages, "INFO Updater.exe launched successfully"));
    EXPECT_EQ(countStartingWith(messages, "INFO Passing channel"), 0u);
}
