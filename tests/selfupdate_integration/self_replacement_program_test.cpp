// The executable hand-over with the real program: the installed program starts a copy of itself in the
// "update" folder, which replaces it and starts the new one.

#include "core/handles_win.h"
#include "program_run_win.h"
#include "support/console_simulator.h"
#include "support/selfupdate_kit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

const std::string kRelease = "/updates/2.0.1/";

class ProgramHandOver : public ::testing::Test {
protected:
    ProgramInstall install;
    std::unique_ptr<HttpTestServer> server;
    std::optional<ScopedMachineValue> installPath;
    std::optional<ScopedMachineValue> baseUrls;
    // The released program: the built one with bytes appended, which still runs but hashes differently.
    const std::string released = builtProgramBytes() + std::string("\0release 2.0.1 marker\0", 22);

    void SetUp() override {
        server = serverOnDefaultPort(5min);
        ASSERT_NE(server, nullptr) << "the built-in server's port stayed busy";
        installPath.emplace("SOFTWARE\\Corvanne\\VESK", "InstallPath", install.path());
        baseUrls.emplace("SOFTWARE\\VESK\\Updater", "BaseUrls", std::nullopt);
        installSimulator(install.path(), "line Update completed successfully\nexit 0\n");
    }

    void TearDown() override {
        EXPECT_TRUE(waitUntilNoProcessInside(install.path(), 60s))
            << "a process of the hand-over was still running";
    }

    void publish(const std::string& manifestPath, const std::string& expectedDigest,
                 const std::string& servedBytes) {
        server->respond(manifestPath, 200,
                        manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"sha256", expectedDigest}},
                                                            {{"size", std::to_string(servedBytes.size())}})},
                                         "2.0", "1"));
        server->respond(kRelease + "VESK_Updater.exe.zip", 404, "no archive");
        server->respond(kRelease + "VESK_Updater.exe", 200, servedBytes);
    }
};

} // namespace

TEST_F(ProgramHandOver, DifferentReleaseIsInstalledThroughTheCopyAndTheChannelTravelsAlong) {
    ASSERT_NE(released, builtProgramBytes());
    publish("/manifest-beta.json", toUpperCase(sha256Hex(released)), released);

    const ProgramRun first = runProgram(install.program(), "-c beta", 2min);
    ASSERT_TRUE(first.ended);
    EXPECT_EQ(first.exitCode, 0u);
    // The copy and then the new program carry on after the first process; wait for the whole chain.
    ASSERT_TRUE(waitUntilNoProcessInside(install.path(), 3min));

    const std::string pid = std::to_string(first.processId);
    const std::string copy = install.file("update\\VESK_Updater.exe");
    const auto mainLog = logMessages(install.log());
    EXPECT_TRUE(messagesInOrder(
        mainLog,
        {"INFO Command line: -c beta", "INFO VESK_Updater.exe hash mismatch - initiating self-update process",
         "INFO Copying current VESK_Updater.exe to: " + copy, "INFO Copy successful - spawning new process",
         "INFO Spawning: \"" + copy + "\" --restart-start -c beta -pid " + pid,
         "INFO New process spawned successfully - exiting current process",
         // the new program
         "INFO Command line: --restart-done -c beta", "INFO === Self-Update Flow: restart-done mode ===",
         "INFO Deleting: " + copy, "INFO Deleting update log directory: " + install.file("update\\logs"),
         "WARNING Failed to delete update log directory (may not be empty)",
         "INFO Deleting update directory: " + install.file("update"),
         "WARNING Failed to delete update directory (may not be empty)",
         "INFO Self-update cleanup completed - proceeding with normal execution",
         "INFO Preflight channel: beta", "INFO VESK_Updater.exe hash matches - no self-update needed",
         "INFO Update process completed with result: SUCCESS"}));
    // The first process ends right after starting the copy: no core file is looked at before the hand-over.
    const auto handOver = std::find(mainLog.begin(), mainLog.end(),
                                    "INFO New process spawned successfully - exiting current process");
    const auto restarted =
        std::find(mainLog.begin(), mainLog.end(), "INFO Command line: --restart-done -c beta");
    ASSERT_TRUE(handOver < restarted);
    EXPECT_EQ(std::count(mainLog.begin(), handOver, std::string("INFO Processing 4 core updater files")), 0);

    EXPECT_TRUE(messagesInOrder(
        logMessages(install.copyLog()),
        {"INFO Command line: --restart-start -c beta -pid " + pid,
         "INFO === Self-Update Flow: restart-start mode ===", "INFO Waiting for process " + pid + " to quit",
         "INFO Downloading manifest from: " VESK_TEST_DEFAULT_BASE_URL "/manifest-beta.json",
         "INFO Downloading VESK_Updater.exe from: " VESK_TEST_DEFAULT_BASE_URL
         "/updates/2.0.1/VESK_Updater.exe",
         "INFO Download completed - verifying file", "INFO Verification passed - replacing VESK_Updater.exe",
         "INFO VESK_Updater.exe updated successfully - launching with --restart-done",
         "INFO New VESK_Updater.exe launched successfully - exiting"}));

    EXPECT_EQ(readFileBytes(install.program()), released);
    EXPECT_FALSE(fileExists(install.file("VESK_Updater.exe.tmp")));
    EXPECT_TRUE(fileExists(install.copyLog())); // the copy's log keeps the update folder
    const auto record = readSimulatorRecord(install.file("Updater.exe"));
    ASSERT_TRUE(record.count("command_line"));
    EXPECT_NE(record.at("command_line").find("--channel beta"), std::string::npos);
    const std::vector<std::string> asked = {"/manifest-beta.json", "/manifest-beta.json",
                                            kRelease + "VESK_Updater.exe.zip", kRelease + "VESK_Updater.exe",
                                            "/manifest-beta.json"};
    EXPECT_EQ(server->requestedPaths(), asked);
}

TEST_F(ProgramHandOver, ServedFileWithAnotherDigestStopsTheCopyAndLeavesTheProgramInstalled) {
    const std::string installed = builtProgramBytes();
    // The manifest announces a release, but the server hands out different bytes.
    publish("/manifest.json", sha256Hex(released + "x"), released);

    const ProgramRun first = runProgram(install.program(), "", 2min);
    ASSERT_TRUE(first.ended);
    EXPECT_EQ(first.exitCode, 0u);
    ASSERT_TRUE(waitUntilNoProcessInside(install.path(), 3min));
    EXPECT_TRUE(messagesInOrder(
        logMessages(install.copyLog()),
        {"INFO === Self-Update Flow: restart-start mode ===", "INFO Download completed - verifying file",
         "ERROR Hash mismatch - expected " + sha256Hex(released + "x").substr(0, 16) + "..., got " +
             sha256Hex(released).substr(0, 16) + "...",
         "ERROR File verification failed"}));
    EXPECT_EQ(readFileBytes(install.program()), installed);
    EXPECT_FALSE(fileExists(install.file("VESK_Updater.exe.tmp")));
    EXPECT_EQ(countStartingWith(logMessages(install.log()), "INFO Command line: --restart-done"), 0u);

    // The copy's own exit code, from a copy started the same way by hand.
    const ProgramRun copy =
        runProgram(install.file("update\\VESK_Updater.exe"), "--restart-start -pid 4294967280", 2min);
    ASSERT_TRUE(copy.ended);
    EXPECT_EQ(copy.exitCode, 1u);
    EXPECT_EQ(readFileBytes(install.program()), installed);
}

// The clean-up check above relies on seeing the processes of a folder; make sure it does.
TEST(ProcessesInsideFolder, RunningProgramIsSeenUntilItEnds) {
    TempDir folder;
    const std::string probe = folder.file("probe.exe");
    ASSERT_TRUE(
        ::CopyFileA((executableDirectory() + "\\selfupdate_probe.exe").c_str(), probe.c_str(), FALSE));
    std::string commandLine = "\"";
    commandLine += probe + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                 nullptr, nullptr, &startup, &info));
    vesk::updater::ProcessHandles started = vesk::updater::ProcessHandles::adopt(info);
    EXPECT_EQ(processesInside(folder.path()), std::vector<DWORD>{info.dwProcessId});
    EXPECT_TRUE(processesInside(executableDirectory() + "\\no_such_folder").empty());
    ::ResumeThread(started.thread.get());
    EXPECT_TRUE(waitUntilNoProcessInside(folder.path(), 30s));
    EXPECT_EQ(::WaitForSingleObject(started.process.get(), 0), WAIT_OBJECT_0);
}
