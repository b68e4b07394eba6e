// The executable hand-over with the real program: the installed program starts a copy of itself in the
// "update" folder, which replaces it and starts the new one.

#include "core/handles_win.h"
#include "program_run_win.h"
#include "support/console_simulator.h"
#include "support/selfupdate_kit.h"
#include "support/folder_entries.h"
#include "support/wait_until.h"
#include "support/window_probe_win.h"
#include "ui/updater_window_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <future>
#include <thread>

using namespace vesk::test;
using namespace std::chrono_literals;
using vesk::updater::IDC_PROGRESS;
using vesk::updater::IDC_STATUS_TEXT;
using vesk::updater::kUpdaterWindowClass;

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


namespace {

// True once the server has begun to send the body of path: the download is under way.
bool bodyStreaming(const HttpTestServer& server, const std::string& path) {
    const auto requests = server.requests();
    return std::any_of(requests.begin(), requests.end(), [&](const RecordedRequest& request) {
        return request.path == path && request.bodyBytesSent > 0 && !request.finished;
    });
}

ScriptedResponse trickling(std::string body) {
    ScriptedResponse response;
    response.body = std::move(body);
    response.trickleInterval = 1ms;
    return response;
}

std::future<ProgramRun> startProgram(const std::string& exe, const std::string& arguments) {
    return std::async(std::launch::async, [=] { return runProgram(exe, arguments, 2min); });
}

std::string systemTempFolder() {
    char buffer[MAX_PATH + 1] = {};
    return std::string(buffer, ::GetTempPathA(MAX_PATH + 1, buffer));
}

} // namespace

TEST_F(ProgramHandOver, WindowShowsWhileTheCheckWaitsOnTheNetworkButNotForTheDeferredSelfUpdate) {
    const std::string curl(100 * 1024, 'c');
    ScriptedResponse silent;
    silent.neverAnswer = true;
    struct Case {
        std::string arguments;
        bool manifestAnswers;
        const char* status; // nullptr: no window may show
    };
    for (const Case& c : {Case{"", true, "Downloading libcurl.dll..."}, Case{"", false, "Checking updater files..."},
                          Case{"--process-self-update", false, nullptr}}) {
        SCOPED_TRACE(c.arguments + (c.manifestAnswers ? " slow core file" : " silent manifest server"));
        server->clearRecord();
        if (c.manifestAnswers) {
            server->respond("/manifest.json", 200,
                            manifestDocument({manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(curl)}},
                                                                {{"size", std::to_string(curl.size())}})},
                                             "2.0", "1"));
        } else {
            server->respond("/manifest.json", silent);
        }
        server->respond(kRelease + "libcurl.dll.zip", 404, "no archive");
        server->respond(kRelease + "libcurl.dll", trickling(curl));
        auto run = startProgram(install.program(), c.arguments);
        // The check is still waiting on the network in every case: the file trickles, the server is silent.
        const std::string waitingOn = c.manifestAnswers ? kRelease + "libcurl.dll" : "/manifest.json";
        ASSERT_TRUE(pollUntil([&] { return containsMessage(server->requestedPaths(), waitingOn); }, 60s));
        HWND window = nullptr;
        const bool shown =
            pollUntil([&] { return (window = ::FindWindowW(kUpdaterWindowClass, nullptr)) != nullptr; },
                      c.status ? 10s : 3s);
        EXPECT_EQ(shown, c.status != nullptr);
        if (shown) {
            const HWND status = ::GetDlgItem(window, IDC_STATUS_TEXT);
            EXPECT_TRUE(pollUntil([&] { return narrow(windowText(status)) == c.status; }, 10s))
                << narrow(windowText(status));
        }
        if (shown && c.manifestAnswers) {
            // The bar follows the bytes as they arrive.
            const HWND bar = ::GetDlgItem(window, IDC_PROGRESS);
            int first = -1;
            ASSERT_TRUE(pollUntil([&] { return (first = progressPosition(bar)) > 0; }, 30s));
            EXPECT_TRUE(pollUntil([&] { return progressPosition(bar) > first; }, 30s)) << first;
        }
        // Still in the check: the console updater has not been looked for yet.
        EXPECT_FALSE(containsMessage(logMessages(install.log()),
                                     "INFO Core file verification completed - proceeding with normal startup"));
        waitUntilNoProcessInside(install.path(), 0ms);
        run.wait();
    }
}

TEST_F(ProgramHandOver, TwoStartsFiftyMillisecondsApartRepairAndReplaceOnceAndTheSecondStepsAside) {
    const std::string curl = "libcurl of the release\n" + std::string(20000, 'c');
    server->respond("/manifest.json", 200,
                    manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"sha256", sha256Hex(released)}},
                                                        {{"size", std::to_string(released.size())}}),
                                      manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(curl)}},
                                                        {{"size", std::to_string(curl.size())}})},
                                     "2.0", "1"));
    server->respond(kRelease + "VESK_Updater.exe.zip", 404, "no archive");
    server->respond(kRelease + "VESK_Updater.exe", 200, released);
    server->respond(kRelease + "libcurl.dll.zip", 404, "no archive");
    server->respond(kRelease + "libcurl.dll", 200, curl);
    installSimulator(install.path(), "sleep 1500\nline Update completed successfully\nexit 0\n");

    auto first = startProgram(install.program(), "");
    std::this_thread::sleep_for(50ms); // the scenario itself: a double click
    auto second = startProgram(install.program(), "");
    for (auto* run : {&first, &second}) {
        const ProgramRun ended = run->get();
        EXPECT_TRUE(ended.ended);
        EXPECT_EQ(ended.exitCode, 0u);
    }
    ASSERT_TRUE(waitUntilNoProcessInside(install.path(), 3min));

    const auto log = logMessages(install.log());
    EXPECT_EQ(countStartingWith(log, "INFO Another update is already running - "), 1u);
    EXPECT_EQ(countStartingWith(log, "INFO Copying current VESK_Updater.exe to: "), 1u);
    EXPECT_EQ(countStartingWith(log, "INFO Command line: --restart-done"), 1u)
        << messagesInOrder(logMessages(install.copyLog()), {"the copy's log"}).message();
    EXPECT_EQ(countStartingWith(log, "INFO Successfully updated: libcurl.dll"), 1u);
    EXPECT_EQ(countStartingWith(log, "INFO Console updater process completed with exit code: 0"), 1u);
    EXPECT_EQ(countStartingWith(log, "ERROR "), 0u);
    EXPECT_EQ(countStartingWith(logMessages(install.copyLog()), "INFO === Self-Update Flow: restart-start"), 1u);
    EXPECT_EQ(readFileBytes(install.program()), released);
    EXPECT_EQ(readFileBytes(install.file("libcurl.dll")), curl);
}

TEST_F(ProgramHandOver, TenRunsKilledDuringRepairOrReplacementLeaveNothingThatPilesUp) {
    const std::string curl(200 * 1024, 'c');
    const std::string runs = systemTempFolder() + "VESK_Updater";
    const std::vector<std::string> tempBefore = folderEntries(systemTempFolder());
    server->respond(kRelease + "libcurl.dll.zip", 404, "no archive");
    std::size_t mostRunFolders = 0;
    for (int run = 0; run < 10; ++run) {
        const bool duringReplacement = run % 2 == 1;
        SCOPED_TRACE(duringReplacement ? "killed during the replacement" : "killed during the repair");
        server->clearRecord();
        if (duringReplacement) {
            publish("/manifest.json", sha256Hex(released), released);
            server->respond(kRelease + "VESK_Updater.exe", trickling(released));
        } else {
            server->respond("/manifest.json", 200,
                            manifestDocument({manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(curl)}})},
                                             "2.0", "1"));
            server->respond(kRelease + "libcurl.dll", trickling(curl));
        }
        auto started = startProgram(install.program(), "");
        const std::string streamed = kRelease + (duringReplacement ? "VESK_Updater.exe" : "libcurl.dll");
        ASSERT_TRUE(pollUntil([&] { return bodyStreaming(*server, streamed); }, 60s));
        // Everything of the run goes at once, as with a pulled plug: the copy in "update" included.
        waitUntilNoProcessInside(install.path(), 0ms);
        started.wait();
        EXPECT_EQ(readFileBytes(install.program()), builtProgramBytes()); // never half replaced
        EXPECT_FALSE(fileExists(install.file("libcurl.dll")));           // never half written
        mostRunFolders = std::max(mostRunFolders, folderEntries(runs).size());
    }
    // Each start clears what the runs before it left: the killed run's folders (the copy's too) are all
    // there ever is.
    EXPECT_GE(mostRunFolders, 1u);
    EXPECT_LE(mostRunFolders, 2u);

    // A run with nothing to fetch clears what the killed ones left, wherever it lies.
    server->respond("/manifest.json", 200, manifestDocument({}, "2.0", "1"));
    const ProgramRun clean = runProgram(install.program(), "", 2min);
    EXPECT_EQ(clean.exitCode, 0u);
    ASSERT_TRUE(waitUntilNoProcessInside(install.path(), 1min));
    EXPECT_LE(folderEntries(runs).size(), 1u) << "only the last run's own folder may stay";
    for (const std::string& name : folderEntries(systemTempFolder())) {
        EXPECT_TRUE(name == "VESK_Updater" || std::count(tempBefore.begin(), tempBefore.end(), name))
            << "new in the temporary folder: " << name;
    }
    for (const char* leftover : {"update\\VESK_Updater.exe", "libcurl.dll.tmp_preflight", "VESK_Updater.exe.tmp"}) {
        EXPECT_FALSE(fileExists(install.file(leftover))) << leftover;
    }
    EXPECT_TRUE(containsMessage(logMessages(install.log()), "INFO Removing left-over self-update copy: " +
                                                                install.file("update\\VESK_Updater.exe")));
}
