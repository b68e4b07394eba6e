// A normal run of the real VESK_Updater.exe, copied into a temporary install folder with the console
// updater simulator beside it as Updater.exe: the window is watched from outside while the run goes on.

#include "core/handles_win.h"
#include "support/console_simulator.h"
#include "support/default_port_server.h"
#include "support/http_test_server.h"
#include "support/log_follower.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"
#include "support/window_probe_win.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using vesk::test::containsInOrder;
using vesk::test::HttpTestServer;
using vesk::test::installSimulator;
using vesk::test::narrow;
using vesk::test::ScriptedResponse;
using vesk::test::TempDir;
using vesk::updater::KernelHandle;
using vesk::updater::RegKey;
using namespace std::chrono_literals;

namespace {

constexpr const char* kInstallKey = "SOFTWARE\\Corvanne\\VESK";
constexpr const char* kInstallValue = "InstallPath";

// Points the install directory of the prefix's registry at a folder for one test and puts back what was
// there before.
class ScopedInstallPath {
public:
    explicit ScopedInstallPath(const std::string& folder) {
        RegKey key;
        if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                              key.put(), nullptr) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot open HKLM\\" << kInstallKey;
            return;
        }
        char old[1024] = {};
        DWORD size = sizeof(old) - 1;
        DWORD type = 0;
        if (::RegQueryValueExA(key.get(), kInstallValue, nullptr, &type, reinterpret_cast<BYTE*>(old),
                               &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            previous = std::string(old);
        }
        ::RegSetValueExA(key.get(), kInstallValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                         static_cast<DWORD>(folder.size() + 1));
    }
    ~ScopedInstallPath() {
        RegKey key;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS) {
            return;
        }
        if (previous) {
            ::RegSetValueExA(key.get(), kInstallValue, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(previous->c_str()),
                             static_cast<DWORD>(previous->size() + 1));
        } else {
            ::RegDeleteValueA(key.get(), kInstallValue);
        }
    }

private:
    std::optional<std::string> previous;
};

struct Sample {
    std::string status;
    int progress = -1;
    bool operator==(const Sample&) const = default;
};

struct Observed {
    bool windowSeen = false;
    std::vector<Sample> samples; // every change of (status, progress), in order
    bool exited = false;
    DWORD exitCode = 0;
    std::vector<std::string> log;
};

// The program's window, if it is showing: the one of the window class that belongs to the process.
HWND programWindow(DWORD processId) {
    HWND window = nullptr;
    while ((window = ::FindWindowExW(nullptr, window, L"VESKUpdaterWindow", nullptr)) != nullptr) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (owner == processId) {
            return window;
        }
    }
    return nullptr;
}

std::optional<Sample> sampleWindow(HWND window) {
    const HWND status = ::GetDlgItem(window, 1002);
    const HWND bar = ::GetDlgItem(window, 1001);
    if (status == nullptr || bar == nullptr) {
        return std::nullopt;
    }
    wchar_t text[512] = {};
    ::GetWindowTextW(status, text, 512);
    DWORD_PTR position = 0;
    if (!::SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position)) {
        return std::nullopt;
    }
    return Sample{narrow(text), static_cast<int>(position)};
}

std::vector<std::string> readLogLines(const std::string& path) {
    std::vector<std::string> lines;
    const std::string bytes = vesk::test::readFileBytes(path);
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        const std::string line = bytes.substr(start, end - start);
        lines.push_back(line.size() > 22 ? line.substr(22) : line); // without the time stamp
        start = end + 2;
    }
    return lines;
}

// Installs the program and the simulator with `script` (none when it is empty), runs the program and watches
// its window until it ends. `onSample` sees every new state of the window.
Observed runProgram(const TempDir& install, const std::string& script,
                    const std::function<void(HWND, const Sample&)>& onSample = {}) {
    const std::string program = install.file("VESK_Updater.exe");
    EXPECT_TRUE(::CopyFileA((vesk::test::executableDirectory() + "\\VESK_Updater.exe").c_str(),
                            program.c_str(), FALSE));
    if (!script.empty()) {
        installSimulator(install.path(), script);
    }
    ScopedInstallPath installPath(install.path());

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + program + "\"";
    Observed observed;
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          install.path().c_str(), &startup, &info)) {
        ADD_FAILURE() << "cannot start " << program << ": error " << ::GetLastError();
        return observed;
    }
    const auto process = vesk::updater::ProcessHandles::adopt(info);

    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::WaitForSingleObject(process.process.get(), 10) == WAIT_OBJECT_0) {
            observed.exited = true;
            break;
        }
        const HWND window = programWindow(info.dwProcessId);
        if (window == nullptr) {
            continue;
        }
        observed.windowSeen = true;
        if (const auto sample = sampleWindow(window)) {
            if (observed.samples.empty() || !(observed.samples.back() == *sample)) {
                observed.samples.push_back(*sample);
                if (onSample) {
                    onSample(window, *sample);
                }
            }
        }
    }
    if (!observed.exited) {
        ::TerminateProcess(process.process.get(), 99);
        ::WaitForSingleObject(process.process.get(), 5000);
    }
    ::GetExitCodeProcess(process.process.get(), &observed.exitCode);
    observed.log = readLogLines(install.file("logs\\ui_logs.log"));
    return observed;
}

bool sawStatus(const Observed& observed, const std::string& status) {
    for (const Sample& sample : observed.samples) {
        if (sample.status == status) {
            return true;
        }
    }
    return false;
}

std::string describe(const Observed& observed) {
    std::string text = "window samples:\n";
    for (const Sample& sample : observed.samples) {
        text += "  [" + std::to_string(sample.progress) + "] " + sample.status + "\n";
    }
    text += "log:\n";
    for (const std::string& line : observed.log) {
        text += "  " + line + "\n";
    }
    return text;
}

std::string info(const std::string& message) {
    return "[INFO] [] " + message;
}

TEST(NormalRun, SuccessShowsProgressThenClosesItselfAndExitsZero) {
    TempDir install;
    const Observed observed = runProgram(install, "line VESK Update Client starting\n"
                                                  "sleep 600\n"
                                                  "line Downloaded manifest (2 KB)\n"
                                                  "sleep 600\n"
                                                  "line Updated: C:\\Program Files\\VESK\\bin\\VESK.exe\n"
                                                  "sleep 600\n"
                                                  "line Update completed successfully\n"
                                                  "exit 0\n");
    ASSERT_TRUE(observed.exited) << describe(observed);
    EXPECT_EQ(observed.exitCode, 0u);
    EXPECT_TRUE(observed.windowSeen);
    // The phrases' texts and values reached the window while the console updater ran.
    EXPECT_TRUE(containsInOrder(
        [&] {
            std::vector<std::string> seen;
            for (const Sample& sample : observed.samples) {
                seen.push_back(std::to_string(sample.progress) + " " + sample.status);
            }
            return seen;
        }(),
        {"15 Starting VESK Update Client...", "30 Downloading update manifest...", "33 Installing: VESK.exe",
         "100 Update completed successfully!"}))
        << describe(observed);
    ASSERT_FALSE(observed.samples.empty());
    EXPECT_EQ(observed.samples.back(), (Sample{"Update completed successfully!", 100})) << describe(observed);

    EXPECT_TRUE(containsInOrder(
        observed.log,
        {info("Starting update thread for normal workflow"), info("=== Update Thread Starting ==="),
         info("Channel for update: stable"), info("Update client initialized successfully"),
         info("Using console updater: " + install.file("Updater.exe")),
         info("Console updater process completed with exit code: 0"),
         info("Update process completed with result: SUCCESS"), info("Update thread completed"),
         info("Checking for pending self-update after successful update..."),
         info("VESK_Updater.exe exiting with code: 0")}))
        << describe(observed);
}

TEST(NormalRun, FailedUpdateShowsFailureAndStillExitsZero) {
    TempDir install;
    const Observed observed = runProgram(install, "line VESK Update Client starting\n"
                                                  "sleep 600\n"
                                                  "line ERROR: Failed to stop service VESKSvc\n"
                                                  "sleep 600\n"
                                                  "exit 1\n");
    ASSERT_TRUE(observed.exited) << describe(observed);
    EXPECT_EQ(observed.exitCode, 0u);
    EXPECT_TRUE(sawStatus(observed, "Error: Failed to stop service VESKSvc")) << describe(observed);
    ASSERT_FALSE(observed.samples.empty());
    EXPECT_EQ(observed.samples.back(), (Sample{"Update failed!", 100})) << describe(observed);
    EXPECT_TRUE(containsInOrder(observed.log, {info("Console updater process completed with exit code: 1"),
                                               info("Update process completed with result: FAILURE"),
                                               info("Update thread completed"),
                                               info("VESK_Updater.exe exiting with code: 0")}))
        << describe(observed);
    for (const std::string& line : observed.log) {
        EXPECT_EQ(line.find("Checking for pending self-update"), std::string::npos);
    }
}

TEST(NormalRun, WindowClosedDuringTheUpdateEndsTheProgramAtOnce) {
    // A quiet console updater, and one that floods the update thread with phrases while the program ends.
    for (const std::string script : {"line VESK Update Client starting\nhang\n",
                                     "line VESK Update Client starting\nbulk 200000000 Verifying file 12 of "
                                     "the installation\\r\\n\nhang\n"}) {
        SCOPED_TRACE(script);
        TempDir install;
        std::chrono::steady_clock::time_point closedAt{};
        const Observed observed = runProgram(install, script, [&](HWND window, const Sample& sample) {
            if ((sample.status == "Starting VESK Update Client..." ||
                 sample.status == "Verifying manifest signature...") &&
                closedAt == std::chrono::steady_clock::time_point{}) {
                closedAt = std::chrono::steady_clock::now();
                ::PostMessageW(window, WM_CLOSE, 0, 0); // the close button
            }
        });
        const auto endedAfter = std::chrono::steady_clock::now() - closedAt;
        // The console updater is left running, as a closed window leaves it; end it here.
        const auto record = vesk::test::readSimulatorRecord(install.file("Updater.exe"));
        if (record.count("pid") != 0) {
            KernelHandle child(
                ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(record.at("pid"))));
            if (child) {
                ::TerminateProcess(child.get(), 0);
                ::WaitForSingleObject(child.get(), 5000);
            }
        }
        ASSERT_NE(closedAt, std::chrono::steady_clock::time_point{}) << describe(observed);
        ASSERT_TRUE(observed.exited) << describe(observed);
        EXPECT_LT(endedAfter, 5s);
        EXPECT_EQ(observed.exitCode, 0u);
        EXPECT_TRUE(containsInOrder(
            observed.log,
            {info("Console updater process started successfully (PID: " + record.at("pid") + ")"),
             info("VESK_Updater.exe exiting with code: 0")}))
            << describe(observed);
        for (const std::string& line : observed.log) {
            EXPECT_EQ(line.find("Update process completed with result"), std::string::npos) << line;
        }
        // The program ended right after its exit line, without a crash report or anything else after it.
        ASSERT_FALSE(observed.log.empty());
        EXPECT_EQ(observed.log.back(), info("VESK_Updater.exe exiting with code: 0")) << describe(observed);
    }
}

// A built-in server that accepts the manifest request and never answers: the manifest download gives up
// after the program's own receive time-out and the run goes on to a successful update.
TEST(NormalRun, ManifestServerThatNeverAnswersDelaysTheRunButItGoesOn) {
    const auto server = vesk::test::serverOnDefaultPort(5min);
    ASSERT_NE(server, nullptr) << "the built-in server's port " VESK_TEST_DEFAULT_BASE_URL " stayed busy";
    ScriptedResponse silent;
    silent.neverAnswer = true;
    server->respond("/manifest.json", silent);
    TempDir install;
    const auto start = std::chrono::steady_clock::now();
    const Observed observed = runProgram(install, "line VESK Update Client starting\n"
                                                  "line Update completed successfully\n"
                                                  "exit 0\n");
    std::printf("[ silent manifest ] run took %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ASSERT_TRUE(observed.exited) << describe(observed);
    EXPECT_EQ(observed.exitCode, 0u);
    EXPECT_TRUE(
        containsInOrder(observed.log, {"[WARNING] [] Failed to download manifest - skipping preflight update",
                                       info("Console updater process completed with exit code: 0"),
                                       info("Update process completed with result: SUCCESS"),
                                       info("VESK_Updater.exe exiting with code: 0")}))
        << describe(observed);
}

// No console updater installed: the update thread's preflight goes to fetch it, the server trickles it, and
// the window is closed while that download runs. The program still ends at once with exit code 0.
TEST(NormalRun, WindowClosedWhileThePreflightFetchesTheConsoleUpdaterEndsTheProgram) {
    const auto server = vesk::test::serverOnDefaultPort(5min);
    ASSERT_NE(server, nullptr) << "the built-in server's port " VESK_TEST_DEFAULT_BASE_URL " stayed busy";
    const std::string release = "/updates/1.0.7/";
    const std::string updater(4000, 'u');
    server->respond(
        "/manifest.json", 200,
        vesk::test::manifestDocument({
            vesk::test::manifestFileEntry("Updater.exe", {}, {{"size", std::to_string(updater.size())}}),
            vesk::test::manifestFileEntry("zlib1.dll", {}, {{"size", "10"}}),
        }));
    // The startup preflight finds no copy of the console updater; while it waits on zlib1.dll, the console
    // updater starts trickling for the next attempt.
    server->respond(release + "Updater.exe.zip", 404, "none");
    server->respond(release + "Updater.exe", 404, "none");
    ScriptedResponse slowZlib;
    slowZlib.status = 404;
    slowZlib.delay = 3s;
    server->respond(release + "zlib1.dll.zip", slowZlib);
    server->respond(release + "zlib1.dll", 404, "none");
    const auto requestsFor = [&](const std::string& path) {
        size_t count = 0;
        for (const std::string& each : server->requestedPaths()) {
            count += each == path ? 1 : 0;
        }
        return count;
    };
    std::thread switcher([&] {
        if (vesk::test::pollUntil([&] { return requestsFor(release + "zlib1.dll.zip") > 0; }, 60s, 10ms)) {
            ScriptedResponse trickle;
            trickle.body = updater;
            trickle.trickleInterval = 500ms;
            server->respond(release + "Updater.exe.zip", trickle);
        }
    });
    TempDir install;
    bool closed = false;
    const Observed observed = runProgram(install, "", [&](HWND window, const Sample& sample) {
        if (sample.status == "Console updater not found - downloading..." && !closed &&
            vesk::test::pollUntil([&] { return requestsFor(release + "Updater.exe.zip") >= 2; }, 30s, 10ms)) {
            closed = true;
            ::PostMessageW(window, WM_CLOSE, 0, 0);
        }
    });
    switcher.join();
    ASSERT_TRUE(closed) << describe(observed);
    ASSERT_TRUE(observed.exited) << describe(observed);
    EXPECT_EQ(observed.exitCode, 0u);
    EXPECT_FALSE(vesk::test::fileExists(install.file("Updater.exe")));
    ASSERT_FALSE(observed.log.empty());
    EXPECT_TRUE(containsInOrder(observed.log,
                                {"[WARNING] [] Console updater not found - attempting download via preflight",
                                 info("VESK_Updater.exe exiting with code: 0")}))
        << describe(observed);
    EXPECT_EQ(observed.log.back(), info("VESK_Updater.exe exiting with code: 0")) << describe(observed);
}

} // namespace
