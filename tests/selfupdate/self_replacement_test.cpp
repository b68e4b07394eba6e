#include "core/handles_win.h"
#include "core/logger.h"
#include "selfupdate/self_replacement_win.h"
#include "support/http_test_server.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <future>

using namespace vesk::test;
using vesk::updater::KernelHandle;
using vesk::updater::ProcessHandles;
using vesk::updater::UpdateSources;

namespace {

std::string probeBytes() {
    return readFileBytes(executableDirectory() + "\\selfupdate_probe.exe");
}

// Starts the probe; suspended, it stands for a predecessor that has not ended yet.
ProcessHandles startProbe(bool suspended) {
    std::string commandLine = "\"";
    commandLine += executableDirectory() + "\\selfupdate_probe.exe\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                          suspended ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup, &info)) {
        return {};
    }
    return ProcessHandles::adopt(info);
}

// Stands for a predecessor that has already ended. Wine keeps an ended process reachable by its id for a
// while, so a real ended id would make the test depend on timing; no process ever has this id (ids are
// multiples of four far below it).
DWORD endedProcessId() {
    return 0xFFFFFFF0u;
}

class HeldFile {
public:
    HeldFile(const std::string& path, DWORD share)
        : handle_(::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    bool held() const { return handle_.valid(); }

private:
    vesk::updater::FileHandle handle_;
};

class RestartStart : public ::testing::Test {
protected:
    TempDir install;
    HttpTestServer server;
    LogCapture log{vesk::updater::logger().path()};
    const std::string oldProgram = "the program as installed before the update";

    void SetUp() override { ASSERT_TRUE(writeFileBytes(install.file("VESK_Updater.exe"), oldProgram)); }

    UpdateSources sources() {
        UpdateSources result;
        result.installDirectory = [this] { return install.path(); };
        result.baseUrls = [this] { return std::vector<std::string>{server.baseUrl()}; };
        result.defaultBaseUrl = server.baseUrl();
        return result;
    }

    int run(const std::string& channel, DWORD predecessor) {
        return vesk::updater::runRestartStart(channel, predecessor, sources());
    }

    void serveProgram(const std::string& path, const std::string& bytes) {
        server.respond(path + ".zip", 404, "no archive");
        server.respond(path, 200, bytes);
    }

    std::string installedProgram() const { return readFileBytes(install.file("VESK_Updater.exe")); }

    // Waits for the started probe to record its command line and end.
    std::string startedCommandLine() {
        const std::string recorded = install.file("probe_command_line.txt");
        if (!pollUntil([&] { return fileExists(recorded); }, std::chrono::seconds(30))) {
            return "(the new executable was not started)";
        }
        const std::string installed = install.file("VESK_Updater.exe");
        pollUntil(
            [&] {
                HeldFile exclusive(installed, 0);
                return exclusive.held();
            },
            std::chrono::seconds(30));
        return readFileBytes(recorded);
    }
};

} // namespace

TEST_F(RestartStart, InstallsTheVerifiedDownloadAndStartsItWithTheChannel) {
    const std::string probe = probeBytes();
    ASSERT_FALSE(probe.empty());
    const DWORD gone = endedProcessId();
    const std::string url = server.url("/updates/2.0.9/VESK_Updater.exe");
    server.respond("/manifest-beta.json", 200,
                   manifestDocument({manifestFileEntry(
                       "VESK_Updater.exe", {{"url", url}, {"sha256", toUpperCase(sha256Hex(probe))}},
                       {{"size", std::to_string(probe.size())}})}));
    serveProgram("/updates/2.0.9/VESK_Updater.exe", probe);

    EXPECT_EQ(run("beta", gone), 0);

    const std::string id = std::to_string(gone);
    EXPECT_TRUE(messagesInOrder(
        log.messages(),
        {"INFO === Self-Update Flow: restart-start mode ===", "INFO Waiting for process " + id + " to quit",
         "WARNING Could not open process " + id + " - it may have already exited",
         "INFO Downloading manifest from: " + server.url("/manifest-beta.json"),
         "INFO Downloading VESK_Updater.exe from: " + url, "INFO Download completed - verifying file",
         "INFO Verification passed - replacing VESK_Updater.exe",
         "INFO VESK_Updater.exe updated successfully - launching with --restart-done",
         "INFO New VESK_Updater.exe launched successfully - exiting"}));
    EXPECT_EQ(installedProgram(), probe);
    EXPECT_FALSE(fileExists(install.file("VESK_Updater.exe.tmp")));
    EXPECT_EQ(startedCommandLine(), "\"" + install.file("VESK_Updater.exe") + "\" --restart-done -c beta");
}

TEST_F(RestartStart, WaitsForThePredecessorAndBuildsTheUrlFromVersionAndBuild) {
    const std::string probe = probeBytes();
    ProcessHandles predecessor = startProbe(true);
    ASSERT_TRUE(predecessor.process.valid());
    const DWORD id = ::GetProcessId(predecessor.process.get());
    // No "url", no "build_number": the default server's release folder named by "version" and "build". No
    // size and no digest either, so the download is taken as it is.
    server.respond("/manifest.json", 200,
                   "{\"manifest\": {\"version\": \"3.1\", \"build\": 44, \"files\": [" +
                       manifestFileEntry("VESK_Updater.exe", {}) + "]}}");
    serveProgram("/updates/3.1.44/VESK_Updater.exe", probe);

    auto result = std::async(std::launch::async, [&] { return run("", id); });
    const std::string waiting = "INFO Waiting for process " + std::to_string(id) + " to quit";
    ASSERT_TRUE(
        pollUntil([&] { return containsMessage(log.messages(), waiting); }, std::chrono::seconds(30)));
    vesk::updater::logger().info("test: ending the predecessor");
    ::TerminateProcess(predecessor.process.get(), 0);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);

    EXPECT_TRUE(messagesInOrder(
        log.messages(),
        {waiting, "INFO test: ending the predecessor", "INFO Process " + std::to_string(id) + " has exited",
         "INFO Downloading VESK_Updater.exe from: " + server.url("/updates/3.1.44/VESK_Updater.exe"),
         "INFO New VESK_Updater.exe launched successfully - exiting"}));
    EXPECT_EQ(installedProgram(), probe);
    EXPECT_EQ(startedCommandLine(), "\"" + install.file("VESK_Updater.exe") + "\" --restart-done");
}

TEST_F(RestartStart, RejectedDownloadLeavesTheInstalledProgramUntouched) {
    const std::string served = "bytes that are not the released program";
    server.respond(
        "/manifest.json", 200,
        manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"sha256", sha256Hex("released")}})}));
    serveProgram("/updates/1.0.7/VESK_Updater.exe", served);
    EXPECT_EQ(run("", endedProcessId()), 1);
    EXPECT_TRUE(messagesInOrder(log.messages(),
                                {"INFO Download completed - verifying file",
                                 "ERROR Hash mismatch - expected " + sha256Hex("released").substr(0, 16) +
                                     "..., got " + sha256Hex(served).substr(0, 16) + "...",
                                 "ERROR File verification failed"}));
    EXPECT_EQ(installedProgram(), oldProgram);
    EXPECT_FALSE(fileExists(install.file("VESK_Updater.exe.tmp")));

    // Shorter than announced: rejected by the check; longer: the download itself stops at the size.
    LogCapture bySize(vesk::updater::logger().path());
    server.respond("/manifest.json", 200,
                   manifestDocument({manifestFileEntry("VESK_Updater.exe", {}, {{"size", "500"}})}));
    EXPECT_EQ(run("", endedProcessId()), 1);
    EXPECT_TRUE(messagesInOrder(bySize.messages(),
                                {"ERROR Size mismatch - expected 500, got " + std::to_string(served.size()),
                                 "ERROR File verification failed"}));
    LogCapture bounded(vesk::updater::logger().path());
    server.respond("/manifest.json", 200,
                   manifestDocument({manifestFileEntry("VESK_Updater.exe", {}, {{"size", "5"}})}));
    EXPECT_EQ(run("", endedProcessId()), 1);
    EXPECT_EQ(countStartingWith(bounded.messages(), "ERROR Download exceeded the expected size of 5 bytes: "),
              1u);
    EXPECT_EQ(countStartingWith(bounded.messages(), "ERROR Failed to download VESK_Updater.exe. Attempts:"),
              1u);

    // An expected size that is no number cannot vouch for anything.
    LogCapture unreadable(vesk::updater::logger().path());
    server.respond("/manifest.json", 200,
                   manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"size", "big"}})}));
    EXPECT_EQ(run("", endedProcessId()), 1);
    EXPECT_TRUE(
        messagesInOrder(unreadable.messages(), {"ERROR Size check failed - unreadable expected size: big",
                                                "ERROR File verification failed"}));
    EXPECT_EQ(installedProgram(), oldProgram);
    EXPECT_FALSE(fileExists(install.file("VESK_Updater.exe.tmp")));
}

TEST_F(RestartStart, EachEarlyFailureEndsWithExitCodeOne) {
    const DWORD gone = endedProcessId();
    struct Case {
        std::string manifest;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", "ERROR Failed to download manifest for self-update"},
        {manifestDocument({manifestFileEntry("Updater.exe", {})}),
         "ERROR VESK_Updater.exe not found in manifest"},
        {"{\"manifest\": {\"version\": \"1.0\", \"files\": [" + manifestFileEntry("VESK_Updater.exe", {}) +
             "]}}",
         "ERROR Could not determine download URL for VESK_Updater.exe"},
        {manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"url", "/gone/VESK_Updater.exe"}})}),
         "ERROR Failed to download VESK_Updater.exe. Attempts:\n  - " +
             server.url("/gone/VESK_Updater.exe.zip") + "\n  - " + server.url("/gone/VESK_Updater.exe") +
             "\n"},
    };
    ScriptedResponse dropped;
    dropped.dropWithoutResponse = true;
    server.respond("/gone/VESK_Updater.exe.zip", dropped);
    server.respond("/gone/VESK_Updater.exe", dropped);
    for (const Case& each : cases) {
        LogCapture attempt(vesk::updater::logger().path());
        server.respond("/manifest.json", 200, each.manifest);
        EXPECT_EQ(run("", gone), 1) << each.expected;
        EXPECT_TRUE(containsMessage(attempt.messages(), each.expected)) << each.expected;
        EXPECT_EQ(countStartingWith(attempt.messages(), "INFO Verification passed"), 0u);
    }
    EXPECT_EQ(installedProgram(), oldProgram);
}

TEST_F(RestartStart, ProgramThatCannotBeReplacedOrStartedIsReported) {
    const std::string served = "verified bytes that are no Windows program";
    server.respond(
        "/manifest.json", 200,
        manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"sha256", sha256Hex(served)}})}));
    serveProgram("/updates/1.0.7/VESK_Updater.exe", served);
    {
        HeldFile running(install.file("VESK_Updater.exe"), FILE_SHARE_READ);
        ASSERT_TRUE(running.held());
        EXPECT_EQ(run("", endedProcessId()), 1);
    }
    EXPECT_EQ(countStartingWith(log.messages(), "ERROR Failed to replace VESK_Updater.exe. Error: "), 1u);
    EXPECT_EQ(installedProgram(), oldProgram);
    EXPECT_FALSE(fileExists(install.file("VESK_Updater.exe.tmp")));

    // Replaced, but the new file does not start: it stays installed.
    LogCapture launch(vesk::updater::logger().path());
    EXPECT_EQ(run("", endedProcessId()), 1);
    EXPECT_TRUE(containsMessage(
        launch.messages(), "INFO VESK_Updater.exe updated successfully - launching with --restart-done"));
    EXPECT_EQ(countStartingWith(launch.messages(), "ERROR Failed to launch new VESK_Updater.exe. Error: "),
              1u);
    EXPECT_EQ(installedProgram(), served);
}

// Clean-up by the new executable.

class RestartDone : public ::testing::Test {
protected:
    TempDir install;
    LogCapture log{vesk::updater::logger().path()};

    void run() {
        UpdateSources sources;
        sources.installDirectory = [this] { return install.path(); };
        vesk::updater::runRestartDone(sources);
    }
};

TEST_F(RestartDone, RemovesTheCopyAndTheEmptyFolders) {
    ASSERT_TRUE(::CreateDirectoryA(install.file("update").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(install.file("update\\logs").c_str(), nullptr));
    ASSERT_TRUE(writeFileBytes(install.file("update\\VESK_Updater.exe"), "copy"));
    run();
    EXPECT_TRUE(messagesInOrder(log.messages(),
                                {"INFO === Self-Update Flow: restart-done mode ===",
                                 "INFO Deleting: " + install.file("update\\VESK_Updater.exe"),
                                 "INFO Deleted successfully",
                                 "INFO Deleting update log directory: " + install.file("update\\logs"),
                                 "INFO Update directory deleted successfully",
                                 "INFO Deleting update directory: " + install.file("update"),
                                 "INFO Update directory deleted successfully",
                                 "INFO Self-update cleanup completed - proceeding with normal execution"}));
    EXPECT_FALSE(fileExists(install.file("update")));
}

TEST_F(RestartDone, TheCopysLogKeepsBothFoldersAndACopyInUseStays) {
    ASSERT_TRUE(::CreateDirectoryA(install.file("update").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(install.file("update\\logs").c_str(), nullptr));
    ASSERT_TRUE(writeFileBytes(install.file("update\\logs\\ui_logs.log"), "the copy's log\r\n"));
    ASSERT_TRUE(writeFileBytes(install.file("update\\VESK_Updater.exe"), "copy"));
    {
        HeldFile stillRunning(install.file("update\\VESK_Updater.exe"), FILE_SHARE_READ);
        ASSERT_TRUE(stillRunning.held());
        run();
    }
    EXPECT_TRUE(messagesInOrder(log.messages(),
                                {"WARNING Failed to delete " + install.file("update\\VESK_Updater.exe"),
                                 "WARNING Failed to delete update log directory (may not be empty)",
                                 "WARNING Failed to delete update directory (may not be empty)",
                                 "INFO Self-update cleanup completed - proceeding with normal execution"}));
    EXPECT_TRUE(fileExists(install.file("update\\logs\\ui_logs.log")));
}

TEST_F(RestartDone, NothingLeftOverMeansNothingToDo) {
    run();
    const std::vector<std::string> expected = {
        "INFO === Self-Update Flow: restart-done mode ===",
        "INFO Self-update cleanup completed - proceeding with normal execution"};
    EXPECT_EQ(log.messages(), expected);
}
