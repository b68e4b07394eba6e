#include "client/console_command_line.h"
#include "client/output_lines.h"
#include "support/recording_callback.h"
#include "client/update_client_win.h"
#include "core/handles_win.h"
#include "core/logger.h"
#include "support/console_simulator.h"
#include "support/log_follower.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using vesk::test::containsInOrder;
using vesk::test::installSimulator;
using vesk::test::LogFollower;
using vesk::test::readSimulatorRecord;
using vesk::test::RecordingCallback;
using vesk::test::TempDir;
using vesk::updater::buildConsoleUpdaterCommandLine;
using vesk::updater::consoleUpdaterCandidates;
using vesk::updater::UpdateClient;
using Events = std::vector<std::string>;

namespace {

// --- Pure parts
// ---------------------------------------------------------------------------------------------

TEST(ConsoleCommandLine, ChannelAndManifestArguments) {
    const std::string path = "C:\\Program Files\\VESK\\Updater.exe";
    EXPECT_EQ(buildConsoleUpdaterCommandLine(path, "", ""),
              "\"C:\\Program Files\\VESK\\Updater.exe\" --verbose");
    EXPECT_EQ(buildConsoleUpdaterCommandLine(path, "beta", ""),
              "\"C:\\Program Files\\VESK\\Updater.exe\" --verbose --channel beta");
    // Web locations are left to the console updater; only the prefixes in lower case count as web locations.
    EXPECT_EQ(buildConsoleUpdaterCommandLine(path, "beta", "https://updates.example/beta/manifest.json"),
              "\"C:\\Program Files\\VESK\\Updater.exe\" --verbose --channel beta");
    EXPECT_EQ(buildConsoleUpdaterCommandLine(path, "", "http://127.0.0.1:8080/manifest.json"),
              "\"C:\\Program Files\\VESK\\Updater.exe\" --verbose");
    EXPECT_EQ(buildConsoleUpdaterCommandLine(path, "", "C:\\m.json"),
              "\"C:\\Program Files\\VESK\\Updater.exe\" --verbose --manifest \"C:\\m.json\"");
    EXPECT_EQ(buildConsoleUpdaterCommandLine(path, "dev build", "HTTPS://x/manifest.json"),
              "\"C:\\Program Files\\VESK\\Updater.exe\" --verbose --channel dev build --manifest "
              "\"HTTPS://x/manifest.json\"");
    EXPECT_EQ(buildConsoleUpdaterCommandLine(path, "", "httpx.json"),
              "\"C:\\Program Files\\VESK\\Updater.exe\" --verbose --manifest \"httpx.json\"");
}

TEST(ConsoleUpdaterCandidates, OrderAndSpelling) {
    EXPECT_EQ(consoleUpdaterCandidates("D:\\Games\\VESK"),
              (std::vector<std::string>{
                  "D:\\Games\\VESK\\Updater.exe", "D:\\Games\\VESK\\..\\bin\\Release\\Updater.exe",
                  "D:\\Games\\VESK\\..\\..\\Updater.exe", "C:\\Program Files\\VESK\\Updater.exe"}));
}

// --- Finding the console updater on disk
// --------------------------------------------------------------------

TEST(FindConsoleUpdater, FirstExistingCandidateAsBuilt) {
    TempDir root;
    ASSERT_TRUE(::CreateDirectoryA(root.file("a").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(root.file("a\\b").c_str(), nullptr));
    const std::string executableDir = root.file("a\\b");
    RecordingCallback callback;
    UpdateClient client(&callback, "", executableDir);

    ASSERT_FALSE(vesk::test::fileExists("C:\\Program Files\\VESK\\Updater.exe"))
        << "the prefix must not have one";
    EXPECT_EQ(client.findConsoleUpdater(), "");

    // Two levels up: returned with the ".." parts, not normalised.
    ASSERT_TRUE(vesk::test::writeFileBytes(root.file("Updater.exe"), "x"));
    EXPECT_EQ(client.findConsoleUpdater(), executableDir + "\\..\\..\\Updater.exe");

    // A development build tree beside the executable's folder comes before that.
    ASSERT_TRUE(::CreateDirectoryA(root.file("a\\bin").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(root.file("a\\bin\\Release").c_str(), nullptr));
    ASSERT_TRUE(vesk::test::writeFileBytes(root.file("a\\bin\\Release\\Updater.exe"), "x"));
    EXPECT_EQ(client.findConsoleUpdater(), executableDir + "\\..\\bin\\Release\\Updater.exe");

    // The executable's own folder comes first.
    ASSERT_TRUE(vesk::test::writeFileBytes(root.file("a\\b\\Updater.exe"), "x"));
    EXPECT_EQ(client.findConsoleUpdater(), executableDir + "\\Updater.exe");
}

TEST(FindConsoleUpdater, LooksBesideTheRunningExecutableNotInTheCurrentDirectory) {
    // None of the places derived from the test program's folder holds a console updater; one in the current
    // directory must not be picked up.
    TempDir current;
    ASSERT_TRUE(vesk::test::writeFileBytes(current.file("Updater.exe"), "x"));
    char previous[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryA(current.path().c_str()));
    RecordingCallback callback;
    UpdateClient client(&callback, "");
    const std::string found = client.findConsoleUpdater();
    ::SetCurrentDirectoryA(previous);
    EXPECT_EQ(found, "");
}

// --- Running the console updater
// ----------------------------------------------------------------------------

struct ClientRun {
    bool result = false;
    Events events;
    std::map<std::string, std::string> record;
    std::vector<std::string> log;
};

// Installs the simulator with the script into `folder` and runs one update through a client.
ClientRun runClient(const std::string& folder, const std::string& script, const std::string& channel = "",
                    const std::string& manifest = "") {
    const std::string simulator = installSimulator(folder, script);
    LogFollower log(vesk::updater::logger().path());
    RecordingCallback callback;
    ClientRun run;
    {
        UpdateClient client(&callback, channel, folder);
        run.result = client.runUpdate(manifest);
        client.cleanup();
    }
    run.events = callback.events();
    run.record = readSimulatorRecord(simulator);
    run.log = log.lines();
    return run;
}

std::string logLine(const std::string& level, const std::string& message) {
    return "[" + level + "] [] " + message;
}

class UpdateClientRun : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(UpdateClientRun, InitializeReportsStatusThenProgress) {
    RecordingCallback callback;
    UpdateClient client(&callback, "", dir.path());
    EXPECT_TRUE(client.initialize());
    EXPECT_EQ(callback.events(), (Events{"status:Initializing update client...", "progress:5"}));
}

TEST_F(UpdateClientRun, NormalRunReportsEveryPhraseThenSuccess) {
    const ClientRun run = runClient(dir.path(), "line VESK Update Client starting\n"
                                                "line Checking for updates from https://updates.example\n"
                                                "line Downloaded manifest\n"
                                                "sleep 150\n" // lets the client go through an idle poll
                                                "line Manifest verified successfully\n"
                                                "line Starting update process\n"
                                                "line Stopping service VESKSvc\n"
                                                "line Updated: C:\\VESK\\bin\\VESK.exe\n"
                                                "line Installing VESK services\n"
                                                "line Cleaning up backup\n"
                                                "line Update completed successfully\n"
                                                "exit 0\n");
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.events, (Events{"status:Starting update process...",
                                  "progress:10",
                                  "status:Starting VESK Update Client...",
                                  "progress:15",
                                  "status:Connecting to update server...",
                                  "progress:20",
                                  "status:Downloading update manifest...",
                                  "progress:30",
                                  "status:Verifying manifest signature...",
                                  "progress:40",
                                  "status:Starting update process...",
                                  "progress:45",
                                  "status:Stopping VESK services...",
                                  "progress:50",
                                  "status:Installing: VESK.exe",
                                  "progress:53",
                                  "status:Installing VESK services...",
                                  "progress:60",
                                  "status:Cleaning up backup files...",
                                  "progress:95",
                                  "status:Update completed successfully!",
                                  "progress:100",
                                  "progress:100",
                                  "complete:true"}));
    const std::string path = dir.path() + "\\Updater.exe";
    const std::string commandLine = "\"" + path + "\" --verbose";
    EXPECT_EQ(run.record.at("command_line"), commandLine);
    EXPECT_TRUE(containsInOrder(
        run.log,
        {logLine("INFO", "Using console updater: " + path),
         logLine("INFO", "Launching console updater with command: " + commandLine),
         logLine("INFO", "Console updater process started successfully (PID: " + run.record.at("pid") + ")"),
         logLine("INFO", "Console updater process completed with exit code: 0")}))
        << testing::PrintToString(run.log);
    // The child's own lines never reach the log.
    for (const std::string& line : run.log) {
        EXPECT_EQ(line.find("Cleaning up backup"), std::string::npos) << line;
    }
}

TEST_F(UpdateClientRun, ChildIsStartedHiddenInItsOwnConsoleInOurDirectory) {
    const ClientRun run = runClient(dir.path(), "exit 0\n");
    ASSERT_TRUE(run.result);
    const unsigned flags = std::stoul(run.record.at("startup_flags"));
    EXPECT_EQ(flags & (STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW),
              unsigned(STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW));
    EXPECT_EQ(run.record.at("show_window"), std::to_string(SW_HIDE));
    // Only the child is attached to its console: it did not share ours.
    EXPECT_EQ(run.record.at("console_processes"), "1");
    char current[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, current);
    EXPECT_EQ(run.record.at("working_directory"), current);
}

TEST_F(UpdateClientRun, ExactCommandLines) {
    const std::string spaced = dir.file("Program Files (x86)\\VESK Game");
    ASSERT_TRUE(::CreateDirectoryA(dir.file("Program Files (x86)").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(spaced.c_str(), nullptr));
    const std::string quoted = "\"" + spaced + "\\Updater.exe\"";

    struct Case {
        std::string channel;
        std::string manifest;
        std::string arguments;
    };
    const std::vector<Case> cases{
        {"", "", " --verbose"},
        {"beta", "", " --verbose --channel beta"},
        {"beta", "https://updates.example/beta/manifest.json", " --verbose --channel beta"},
        {"", "http://127.0.0.1:1/manifest.json", " --verbose"},
        {"", "C:\\m.json", " --verbose --manifest \"C:\\m.json\""},
        {"beta", "D:\\local manifests\\m.json",
         " --verbose --channel beta --manifest \"D:\\local manifests\\m.json\""},
    };
    for (const Case& c : cases) {
        const ClientRun run = runClient(spaced, "exit 0\n", c.channel, c.manifest);
        EXPECT_TRUE(run.result) << c.arguments;
        EXPECT_EQ(run.record.at("command_line"), quoted + c.arguments);
        EXPECT_TRUE(containsInOrder(
            run.log, {logLine("INFO", "Launching console updater with command: " + quoted + c.arguments)}));
    }
}

TEST_F(UpdateClientRun, OutputSplitAcrossReadsAtAwkwardPlaces) {
    // "sync" waits until the client has read everything, so each piece arrives in a read of its own.
    const ClientRun run = runClient(dir.path(), "write VESK Update Client sta\n"
                                                "sync\n"
                                                "write rting\\r\n"
                                                "sync\n"
                                                "write \\nChecking for updates from x\\r\\r\n"
                                                "sync\n"
                                                "write \\n\\n\\r\\nUpdated: a/b\\rc.dll\\r\\n\n"
                                                "chunk 1 sync\n"
                                                "line Updated: C:\\dir\\one byte at a time.dll\n"
                                                "chunk 0\n"
                                                "write Installing VESK services\\r\n"
                                                "sync\n"
                                                "write \\n\n"
                                                "exit 0\n");
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.events,
              (Events{"status:Starting update process...", "progress:10",
                      "status:Starting VESK Update Client...", "progress:15",
                      // the carriage return of "\r\r\n" that stays in the line does not hide the phrase
                      "status:Connecting to update server...", "progress:20",
                      // a lone carriage return stays inside the line and the file name
                      "status:Installing: b\rc.dll", "progress:23",
                      "status:Installing: one byte at a time.dll", "progress:26",
                      "status:Installing VESK services...", "progress:60", "progress:100", "complete:true"}));
}

TEST_F(UpdateClientRun, LastLineWithoutLineFeedIsInterpretedOnce) {
    ClientRun run =
        runClient(dir.path(), "line Starting update process\nwrite Update completed successfully\nexit 0\n");
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.events,
              (Events{"status:Starting update process...", "progress:10", "status:Starting update process...",
                      "progress:45", "status:Update completed successfully!", "progress:100", "progress:100",
                      "complete:true"}));

    // Also when it arrived long before the child ended, and when the child fails.
    run = runClient(dir.path(), "write ERROR: Failed to stop service\nsleep 300\nexit 1\n");
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.events,
              (Events{"status:Starting update process...", "progress:10", "error:Failed to stop service",
                      "error:Update process failed", "complete:false"}));
}

TEST_F(UpdateClientRun, OutputStillInThePipeWhenTheChildExitsIsInterpreted) {
    // Three hundred lines written in one go right before the exit: most of them are still in the pipe when
    // the client sees the child has ended.
    std::string script = "line Starting update process\nsync\nsleep 200\n";
    std::string burst;
    for (int i = 1; i <= 300; ++i) {
        burst += "Updated: file" + std::to_string(i) + ".dat\\r\\n";
    }
    script += "write " + burst + "Cleaning up backup\\r\\n\nexit 0\n";
    const ClientRun run = runClient(dir.path(), script);
    EXPECT_TRUE(run.result);
    ASSERT_GE(run.events.size(), 4u);
    const Events tail(run.events.end() - 4, run.events.end());
    EXPECT_EQ(tail,
              (Events{"status:Cleaning up backup files...", "progress:95", "progress:100", "complete:true"}));
    int fileStatuses = 0;
    for (const std::string& event : run.events) {
        fileStatuses += event.rfind("status:Installing: file", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(fileStatuses, 300);
}

TEST_F(UpdateClientRun, OverlongLinesKeepTheirFirst64KiBAndTheNextLineCountsAsUsual) {
    // More than a megabyte without a line feed, twice: once ended by a line feed, once cut off by the exit.
    const ClientRun run = runClient(dir.path(), "line VESK Update Client starting\n"
                                                "write Updated: C:/dir/\n"
                                                "bulk 1200000 x\n"
                                                "line .dll\n"
                                                "line Cleaning up backup\n"
                                                "write Installing: \n"
                                                "bulk 1100000 y\n"
                                                "exit 0\n");
    EXPECT_TRUE(run.result);
    const size_t limit = vesk::updater::kMaxOutputLineBytes;
    EXPECT_EQ(
        run.events,
        (Events{"status:Starting update process...", "progress:10", "status:Starting VESK Update Client...",
                "progress:15", "status:Installing: " + std::string(limit - 16, 'x'), "progress:18",
                "status:Cleaning up backup files...", "progress:95",
                "status:Installing: " + std::string(limit - 12, 'y'), "progress:100", "complete:true"}));
}

TEST_F(UpdateClientRun, FourHundredMegabytesWithoutALineFeedKeepMemoryBoundedAndTheRunSucceeds) {
    // The client runs in this process, so this process's peak working set bounds what the reading held.
    PROCESS_MEMORY_COUNTERS before{};
    before.cb = sizeof(before);
    ASSERT_TRUE(::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof(before)));
    const auto start = std::chrono::steady_clock::now();
    const ClientRun run = runClient(dir.path(), "line VESK Update Client starting\n"
                                                "write Installing: \n"
                                                "bulk 400000000 z\n"
                                                "line .dll\n"
                                                "line Cleaning up backup\n"
                                                "line Update completed successfully\n"
                                                "exit 0\n");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    ASSERT_TRUE(::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory)));
    std::printf(
        "[ memory ] 400 MB line: %.1f s, peak working set %.1f MB (%.1f MB before), peak private %.1f MB\n",
        seconds, memory.PeakWorkingSetSize / 1e6, before.PeakWorkingSetSize / 1e6,
        memory.PeakPagefileUsage / 1e6);
    EXPECT_EQ(run.record.count("bulk_ms"), 1u); // the simulator wrote all of it
    // Under Wine the reading costs a fixed amount, about 200 MB, whatever is written (800 MB peaks at the
    // same figure); keeping the line would need more than the 400 MB written.
    EXPECT_LT(memory.PeakWorkingSetSize, 300u * 1000 * 1000);
    EXPECT_TRUE(run.result);
    ASSERT_FALSE(run.events.empty());
    EXPECT_EQ(run.events.back(), "complete:true");
    EXPECT_TRUE(containsInOrder(
        run.events, {"status:Installing: " + std::string(vesk::updater::kMaxOutputLineBytes - 12, 'z'),
                     "status:Cleaning up backup files..."}));
}

TEST_F(UpdateClientRun, StandardErrorIsReadToo) {
    const ClientRun run =
        runClient(dir.path(), "stream err\nline ERROR: Failed to open log\nstream out\nexit 0\n");
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.events, (Events{"status:Starting update process...", "progress:10",
                                  "error:Failed to open log", "progress:100", "complete:true"}));
}

TEST_F(UpdateClientRun, ExitCodesDecideTheOutcomeAlone) {
    struct Case {
        std::string exit;
        bool success;
        std::string logged;
    };
    for (const Case& c : std::vector<Case>{{"0", true, "0"},
                                           {"1", false, "1"},
                                           {"0xC0000005", false, "3221225477"},
                                           {"259", false, "259"}}) {
        // The output claims success every time; only the exit code counts.
        const ClientRun run =
            runClient(dir.path(), "line Update completed successfully\nexit " + c.exit + "\n");
        EXPECT_EQ(run.result, c.success) << c.exit;
        EXPECT_TRUE(containsInOrder(
            run.log, {logLine("INFO", "Console updater process completed with exit code: " + c.logged)}))
            << c.exit << testing::PrintToString(run.log);
        const Events tail = c.success ? Events{"progress:100", "complete:true"}
                                      : Events{"error:Update process failed", "complete:false"};
        ASSERT_GE(run.events.size(), 2u);
        EXPECT_EQ(Events(run.events.end() - 2, run.events.end()), tail) << c.exit;
    }
}

// Nothing answers for the built-in server here, so the preflight that is asked to fetch the console updater
// cannot bring it either.
TEST_F(UpdateClientRun, MissingConsoleUpdaterThatThePreflightCannotBringReportsTheError) {
    ASSERT_TRUE(::CreateDirectoryA(dir.file("a").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(dir.file("a\\b").c_str(), nullptr));
    LogFollower log(vesk::updater::logger().path());
    RecordingCallback callback;
    UpdateClient client(&callback, "beta", dir.file("a\\b"));
    EXPECT_FALSE(client.runUpdate("https://updates.example/manifest.json"));
    EXPECT_EQ(
        callback.events(),
        (Events{
            "status:Console updater not found - downloading...",
            "error:Could not find Updater.exe console version. Please ensure it's in the same directory."}));
    EXPECT_TRUE(containsInOrder(
        log.lines(), {logLine("WARNING", "Console updater not found - attempting download via preflight"),
                      logLine("INFO", "=== Preflight Update Starting ==="), logLine("INFO", "Channel: beta"),
                      logLine("ERROR", "Could not find or download Updater.exe console version")}));
    client.cleanup();
}

TEST_F(UpdateClientRun, ConsoleUpdaterThatCannotStartReportsTheError) {
    ASSERT_TRUE(vesk::test::writeFileBytes(dir.file("Updater.exe"), "this is not a program"));
    LogFollower log(vesk::updater::logger().path());
    RecordingCallback callback;
    UpdateClient client(&callback, "", dir.path());
    EXPECT_FALSE(client.runUpdate(""));
    EXPECT_EQ(callback.events(), (Events{"status:Starting update process...", "progress:10",
                                         "error:Failed to start console updater process"}));
    const auto lines = log.lines();
    bool logged = false;
    for (const std::string& line : lines) {
        const std::string prefix = logLine("ERROR", "Failed to start console updater process: Error ");
        if (line.rfind(prefix, 0) == 0) {
            const std::string code = line.substr(prefix.size());
            logged =
                !code.empty() && code.find_first_not_of("0123456789") == std::string::npos && code != "0";
        }
    }
    EXPECT_TRUE(logged) << testing::PrintToString(lines);
    client.cleanup();
    client.cleanup();
}

TEST_F(UpdateClientRun, ChildThatNeverExitsIsTerminatedByCleanupAfterTheGrace) {
    const std::string simulator = installSimulator(dir.path(), "line VESK Update Client starting\nhang\n");
    RecordingCallback callback;
    UpdateClient client(&callback, "", dir.path());
    // Stop watching as soon as the child has said something; the child itself keeps running.
    callback.afterEach = [&](const std::string& event) {
        if (event == "status:Starting VESK Update Client...") {
            client.requestStop();
        }
    };
    EXPECT_FALSE(client.runUpdate(""));
    EXPECT_EQ(callback.events(), (Events{"status:Starting update process...", "progress:10",
                                         "status:Starting VESK Update Client...", "progress:15",
                                         "error:Update process failed", "complete:false"}));

    const DWORD pid = std::stoul(readSimulatorRecord(simulator).at("pid"));
    vesk::updater::KernelHandle child(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    ASSERT_TRUE(child.valid());
    ASSERT_EQ(::WaitForSingleObject(child.get(), 0), WAIT_TIMEOUT) << "still running before cleanup";

    const auto start = std::chrono::steady_clock::now();
    client.cleanup();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_LE(elapsed, std::chrono::milliseconds(4000));
    ASSERT_EQ(::WaitForSingleObject(child.get(), 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeProcess(child.get(), &code));
    EXPECT_EQ(code, 1u);

    // A second cleanup has nothing left to wait for or close.
    const auto again = std::chrono::steady_clock::now();
    client.cleanup();
    EXPECT_LE(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(500));
}

TEST_F(UpdateClientRun, CleanupAfterANormalEndIsImmediateAndRepeatable) {
    installSimulator(dir.path(), "exit 0\n");
    RecordingCallback callback;
    UpdateClient client(&callback, "", dir.path());
    ASSERT_TRUE(client.runUpdate(""));
    const auto start = std::chrono::steady_clock::now();
    client.cleanup();
    client.cleanup();
    EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(callback.events().back(), "complete:true");
}

} // namespace
