#include "core/current_channel.h"
#include "app/entry_routine_win.h"
#include "app/final_steps_gate.h"
#include "core/logger.h"
#include "support/log_lines.h"
#include "support/wait_until.h"
#include "support/window_probe_win.h"
#include "ui/updater_window_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

using namespace vesk::updater;
using vesk::test::narrow;
using vesk::test::ProcessLogTail;
using Lines = std::vector<std::string>;

namespace {

// Stands in for the system where Wine cannot (the elevation answers, the relaunch, the message boxes) and for
// the program's modes, which would download, replace files or end the test process. Every mode call is
// recorded with its arguments and the log line written just before it, so a test sees both what was called
// and where in the start-up it happened.
struct FakeSystem {
    // Answers of isProcessElevated in order; the last one repeats.
    std::vector<bool> elevatedAnswers{true};
    ElevationResult relaunchResult;
    int restartStartResult = 1;
    int pendingSelfUpdateResult = 1;
    // What the started update thread does; by default nothing, as if the update were still running.
    std::function<void(UpdaterWindow*)> updateThread;
    // What the start-up check does besides being recorded (it runs on a worker while the window shows).
    std::function<void(const PreflightObserver&)> preflight;
    std::atomic<bool> threadStarted{false};
    // Answers of claimInstance in order; the last one repeats. Empty: the seam is left unset.
    std::vector<InstanceClaim> claims;
    bool runningWindowShown = false;

    int elevationChecks = 0;
    std::vector<std::vector<std::string>> relaunches;
    std::vector<std::pair<std::wstring, std::wstring>> errorBoxes;
    Lines calls;
    FinalStepsGate gate;

    EntryEnvironment environment() {
        EntryEnvironment environment;
        environment.isProcessElevated = [this] {
            const std::size_t index = std::min<std::size_t>(elevationChecks++, elevatedAnswers.size() - 1);
            return elevatedAnswers[index];
        };
        environment.restartElevated = [this](int argc, const char* const argv[]) {
            relaunches.emplace_back(argv, argv + argc);
            return relaunchResult;
        };
        environment.showError = [this](const std::wstring& text, const std::wstring& caption) {
            errorBoxes.emplace_back(text, caption);
        };
        environment.runRestartStart = [this](const std::string& channel, std::uint32_t processId) {
            record("runRestartStart(" + channel + ", " + std::to_string(processId) + ")");
            return restartStartResult;
        };
        environment.runRestartDone = [this] { record("runRestartDone()"); };
        environment.runPreflight = [this](const std::string& channel, const PreflightObserver& observer) {
            record("runPreflight(" + channel + ")");
            if (preflight) {
                preflight(observer);
            }
        };
        environment.processPendingSelfUpdate = [this] {
            record("processPendingSelfUpdate()");
            return pendingSelfUpdateResult;
        };
        environment.startUpdateThread = [this](UpdaterWindow* window) {
            // What the thread may rely on when it starts: the captioned window and the final channel.
            record("startUpdateThread(caption " + narrow(vesk::test::windowText(window->windowHandle())) +
                   ", channel " + currentChannel + ")");
            threadStarted = true;
            if (updateThread) {
                updateThread(window);
            }
        };
        if (!claims.empty()) {
            environment.claimInstance = [this](bool acceptHandOver) {
                const std::size_t index = std::min<std::size_t>(claimCount++, claims.size() - 1);
                record(std::string("claimInstance(") + (acceptHandOver ? "hand-over" : "plain") + ")");
                return claims[index];
            };
            environment.deferredRunWait = std::chrono::milliseconds(600);
            environment.showRunningInstance = [this] {
                record("showRunningInstance()");
                return runningWindowShown;
            };
            environment.prepareRun = [this](bool holds, bool withCopy) {
                record(std::string("prepareRun(") + (holds ? "holds" : "shared") +
                       (withCopy ? ", copy)" : ")"));
            };
        }
        environment.finalStepsGate = &gate;
        environment.endProcessUnderRunningThread = [this](int exitCode) {
            record("endProcessUnderRunningThread(" + std::to_string(exitCode) + ")");
        };
        return environment;
    }

    std::size_t claimCount = 0;

private:
    void record(const std::string& call) {
        const Lines entries = tail.entries();
        calls.push_back(call + " after " + (entries.empty() ? std::string("nothing") : entries.back()));
    }

    ProcessLogTail tail;
};

ElevationResult relaunched(std::uint32_t exitCode) {
    ElevationResult result;
    result.success = true;
    result.message = "Elevation request successful";
    result.exitCode = exitCode;
    return result;
}

ElevationResult relaunchFailed() {
    ElevationResult result;
    result.message = "User cancelled UAC elevation prompt";
    result.errorCode = 1223;
    return result;
}

ElevationResult alreadyElevated() {
    ElevationResult result;
    result.success = true;
    result.alreadyElevated = true;
    result.message = "Process is already elevated";
    return result;
}

Lines concat(Lines first, const Lines& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Lines startLines(const std::string& commandLineText) {
    return {
        "INFO === VESK_Updater.exe Starting ===",
        "INFO === Phase 1: Manifest Download & Core File Verification ===",
        "INFO Command line: " + commandLineText,
    };
}

Lines phaseOneLines(const std::string& channelWord) {
    return {
        "INFO Past admin elevation.",
        "INFO Preflight channel: " + channelWord,
        "INFO Downloading manifest and checking core updater files...",
        "INFO Core file verification completed - proceeding with normal startup",
        "INFO === Phase 2: Command Line Processing & Normal Workflow ===",
        "INFO Full command line processing...",
    };
}

const Lines kWindowRunLines{
    "INFO Now run the update thread for normal workflow",
    "INFO UI initialized successfully",
    "INFO Starting update thread for normal workflow",
    "DEBUG Starting UI message loop",
};
const std::string kExitLine = "INFO VESK_Updater.exe exiting with code: 0";

std::string preflightCall(const std::string& channel) {
    return "runPreflight(" + channel + ") after INFO Downloading manifest and checking core updater files...";
}
// A run that ends while its update thread may still be at work ends the process right after the exit line.
const std::string kEndUnderRunningThreadCall =
    "endProcessUnderRunningThread(0) after INFO VESK_Updater.exe exiting with code: 0";
std::string threadStartCall(const std::string& channel) {
    return "startUpdateThread(caption VESK Updater, channel " + channel +
           ") after INFO Starting update thread for normal workflow";
}
const std::string kPendingSelfUpdateCall =
    "processPendingSelfUpdate() after INFO Elevated - processing self-update now";

// Runs the entry routine on this thread while a helper closes its window like a user would, once it is up.
// Records the caption the window showed.
struct WindowRun {
    int exitCode = -1;
    std::wstring caption;
};

WindowRun runWithWindowClosedByUser(const std::string& commandLine, FakeSystem& system) {
    WindowRun run;
    std::atomic<bool> done{false};
    std::thread closer([&] {
        HWND window = nullptr;
        vesk::test::waitUntil([&] {
            // The window shows during the start-up check already; the person closes it once the update runs.
            window = system.threadStarted ? vesk::test::findProcessWindow(::GetCurrentProcessId(),
                                                                           kUpdaterWindowClass)
                                          : nullptr;
            return window != nullptr || done.load();
        });
        if (window) {
            run.caption = vesk::test::windowText(window);
            ::PostMessageW(window, WM_CLOSE, 0, 0);
        }
    });
    run.exitCode = runEntryRoutine(commandLine, system.environment());
    done.store(true);
    closer.join();
    return run;
}

class EntryRoutine : public ::testing::Test {
protected:
    void SetUp() override { currentChannel = "unset"; }
    // Each window run registers the window class; remove it so the next test can create its window.
    void TearDown() override { ::UnregisterClassW(kUpdaterWindowClass, ::GetModuleHandleW(nullptr)); }

    ProcessLogTail log;
};

} // namespace

TEST_F(EntryRoutine, NotElevatedRelaunchesAndPassesTheChildsExitCode) {
    FakeSystem system;
    system.elevatedAnswers = {false};
    system.relaunchResult = relaunched(7);

    EXPECT_EQ(runEntryRoutine("-c beta   --restart-done", system.environment()), 7);
    ASSERT_EQ(system.relaunches.size(), 1u);
    EXPECT_EQ(system.relaunches[0], (Lines{"VESK_Updater.exe", "-c", "beta", "--restart-done"}));
    EXPECT_TRUE(system.errorBoxes.empty());
    // Nothing is logged or run after the relaunch: the elevated child does the work.
    EXPECT_EQ(log.entries(), startLines("-c beta   --restart-done"));
    EXPECT_TRUE(system.calls.empty());

    system.relaunchResult = relaunched(0xC0000005u);
    EXPECT_EQ(static_cast<std::uint32_t>(runEntryRoutine("", system.environment())), 0xC0000005u);
    EXPECT_EQ(system.relaunches.back(), Lines{"VESK_Updater.exe"});
    EXPECT_TRUE(system.calls.empty());
}

TEST_F(EntryRoutine, FailedRelaunchShowsTheElevationBoxAndExitsWithOne) {
    FakeSystem system;
    system.elevatedAnswers = {false};
    system.relaunchResult = relaunchFailed();

    EXPECT_EQ(runEntryRoutine("--restart-start -pid 12", system.environment()), 1);
    ASSERT_EQ(system.errorBoxes.size(), 1u);
    EXPECT_EQ(system.errorBoxes[0].first,
              L"Failed to elevate privileges. Please run VESK Updater as Administrator manually.");
    EXPECT_EQ(system.errorBoxes[0].second, L"Elevation Failed");
    EXPECT_EQ(log.entries(), startLines("--restart-start -pid 12"));
    EXPECT_TRUE(system.calls.empty());
}

TEST_F(EntryRoutine, RestartStartRunsWithTheChannelAndTheLastProcessIdAndEndsWithItsCode) {
    FakeSystem system;
    system.restartStartResult = 1;
    const std::string commandLine = "-pid 1 --restart-start -c beta -pid 4242xyz --restart-done";
    EXPECT_EQ(runEntryRoutine(commandLine, system.environment()), 1);
    EXPECT_EQ(system.calls, Lines{"runRestartStart(beta, 4242) after INFO Past admin elevation."});
    EXPECT_EQ(log.entries(), concat(startLines(commandLine), {"INFO Past admin elevation."}));

    system.calls.clear();
    system.restartStartResult = 0;
    EXPECT_EQ(runEntryRoutine("--restart-start -pid 4294967295", system.environment()), 0);
    EXPECT_EQ(system.calls, Lines{"runRestartStart(, 4294967295) after INFO Past admin elevation."});
}

TEST_F(EntryRoutine, RestartStartNeedsBothTheOptionAndAProcessIdAboveZero) {
    for (const std::string arguments : {"--restart-start", "-pid 5", "--restart-start -pid 0",
                                        "--restart-start -pid", "--restart-start -pid abc"}) {
        FakeSystem system;
        system.pendingSelfUpdateResult = 0;
        // The deferred self-update mode ends the run without a window.
        EXPECT_EQ(runEntryRoutine(arguments + " --process-self-update", system.environment()), 0)
            << arguments;
        EXPECT_EQ(system.calls, (Lines{preflightCall(""), kPendingSelfUpdateCall})) << arguments;
    }
}

TEST_F(EntryRoutine, RestartDoneCleansUpOnceBeforeThePreflightAndGoesOn) {
    FakeSystem system;
    system.pendingSelfUpdateResult = 1;
    const std::string commandLine = "--restart-done -c beta --restart-done --process-self-update";
    EXPECT_EQ(runEntryRoutine(commandLine, system.environment()), 1);
    EXPECT_EQ(system.calls, (Lines{"runRestartDone() after INFO Past admin elevation.", preflightCall("beta"),
                                   kPendingSelfUpdateCall}));
    Lines expected = concat(startLines(commandLine), phaseOneLines("beta"));
    expected = concat(expected, {
                                    "INFO Self-update processing flag detected",
                                    "INFO Update channel confirmed: beta",
                                    "INFO Processing self-update request...",
                                    "INFO Elevated - processing self-update now",
                                });
    EXPECT_EQ(log.entries(), expected);
    EXPECT_EQ(currentChannel, "beta");
}

TEST_F(EntryRoutine, SelfUpdateModeRelaunchesElevatedWhenNeeded) {
    FakeSystem system;
    system.elevatedAnswers = {true, false}; // elevated at start, not any more when the mode checks
    system.relaunchResult = relaunched(9);

    const std::string commandLine = "--process-self-update -c beta --process-self-update";
    EXPECT_EQ(runEntryRoutine(commandLine, system.environment()), 9);
    ASSERT_EQ(system.relaunches.size(), 1u);
    EXPECT_EQ(system.relaunches[0],
              (Lines{"VESK_Updater.exe", "--process-self-update", "-c", "beta", "--process-self-update"}));
    EXPECT_TRUE(system.errorBoxes.empty());
    EXPECT_EQ(currentChannel, "beta");
    // The elevated child carries out the deferred update, not this process.
    EXPECT_EQ(system.calls, Lines{preflightCall("beta")});
    Lines expected = concat(startLines(commandLine), phaseOneLines("beta"));
    expected = concat(expected, {
                                    "INFO Self-update processing flag detected",
                                    "INFO Self-update processing flag detected",
                                    "INFO Update channel confirmed: beta",
                                    "INFO Processing self-update request...",
                                    "INFO Not elevated - requesting elevation for self-update",
                                    "INFO Restarted with elevation - exiting current instance",
                                });
    EXPECT_EQ(log.entries(), expected);
}

TEST_F(EntryRoutine, SelfUpdateRelaunchThatFindsItselfElevatedRunsTheModeHere) {
    // The relaunch passes the words on as split, without adding a second option.
    FakeSystem system;
    system.elevatedAnswers = {true, false};
    system.relaunchResult = alreadyElevated();
    system.pendingSelfUpdateResult = 0;
    EXPECT_EQ(runEntryRoutine("-c   nightly --process-self-update", system.environment()), 0);
    ASSERT_EQ(system.relaunches.size(), 1u);
    EXPECT_EQ(system.relaunches[0], (Lines{"VESK_Updater.exe", "-c", "nightly", "--process-self-update"}));
    // Already elevated after all: the mode runs here.
    EXPECT_EQ(system.calls, (Lines{preflightCall("nightly"), kPendingSelfUpdateCall}));
    const Lines entries = log.entries();
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(Lines(entries.end() - 3, entries.end()),
              (Lines{"INFO Processing self-update request...",
                     "INFO Not elevated - requesting elevation for self-update",
                     "INFO Elevated - processing self-update now"}));
}

TEST_F(EntryRoutine, SelfUpdateElevationFailureShowsItsBoxAndExitsWithOne) {
    FakeSystem system;
    system.elevatedAnswers = {true, false};
    system.relaunchResult = relaunchFailed();

    EXPECT_EQ(runEntryRoutine("--process-self-update", system.environment()), 1);
    ASSERT_EQ(system.relaunches.size(), 1u);
    EXPECT_EQ(system.relaunches[0], (Lines{"VESK_Updater.exe", "--process-self-update"}));
    ASSERT_EQ(system.errorBoxes.size(), 1u);
    EXPECT_EQ(system.errorBoxes[0].first,
              L"Failed to elevate for self-update. Please run VESK Updater as Administrator.");
    EXPECT_EQ(system.errorBoxes[0].second, L"Elevation Required");
    EXPECT_EQ(system.calls, Lines{preflightCall("")});
    Lines expected = concat(startLines("--process-self-update"), phaseOneLines("stable"));
    expected = concat(expected, {
                                    "INFO Self-update processing flag detected",
                                    "INFO Processing self-update request...",
                                    "INFO Not elevated - requesting elevation for self-update",
                                    "ERROR Failed to restart with elevation",
                                });
    EXPECT_EQ(log.entries(), expected);
}

TEST_F(EntryRoutine, ElevatedSelfUpdateModeEndsWithItsResultAndNeverOpensTheWindow) {
    for (const int result : {0, 1}) {
        FakeSystem system;
        system.pendingSelfUpdateResult = result;
        const ProcessLogTail runLog;
        EXPECT_EQ(runEntryRoutine("--process-self-update", system.environment()), result);
        EXPECT_TRUE(system.relaunches.empty());
        EXPECT_EQ(system.elevationChecks, 2);
        EXPECT_EQ(system.calls, (Lines{preflightCall(""), kPendingSelfUpdateCall}));
        Lines expected = concat(startLines("--process-self-update"), phaseOneLines("stable"));
        expected = concat(expected, {
                                        "INFO Self-update processing flag detected",
                                        "INFO Processing self-update request...",
                                        "INFO Elevated - processing self-update now",
                                    });
        EXPECT_EQ(runLog.entries(), expected);
        EXPECT_EQ(vesk::test::findProcessWindow(::GetCurrentProcessId(), kUpdaterWindowClass), nullptr);
    }
}

TEST_F(EntryRoutine, WindowClosedByTheUserWhileTheUpdateRunsEndsAtOnceWithZero) {
    FakeSystem system; // its update thread never finishes
    const WindowRun run = runWithWindowClosedByUser("", system);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.caption, L"VESK Updater");
    EXPECT_EQ(system.elevationChecks, 1);
    EXPECT_TRUE(system.relaunches.empty()); // an elevated process never asks again
    EXPECT_TRUE(system.errorBoxes.empty());
    EXPECT_EQ(currentChannel, "");
    EXPECT_EQ(system.calls, (Lines{preflightCall(""), threadStartCall(""), kEndUnderRunningThreadCall}));
    Lines expected = concat(startLines("(none)"), phaseOneLines("stable"));
    expected = concat(expected, kWindowRunLines);
    EXPECT_EQ(log.entries(), concat(expected, {kExitLine}));
    // The run gave up on the thread: should it reach its last steps now, it is told to stop.
    EXPECT_FALSE(system.gate.beginFinalSteps());
}

TEST_F(EntryRoutine, WindowClosedByTheUpdateWaitsForTheThreadsLastSteps) {
    FakeSystem system;
    std::thread worker;
    system.updateThread = [&](UpdaterWindow* window) {
        const HWND handle = window->windowHandle();
        worker = std::thread([&system, window, handle] {
            // As the real thread: the update has ended, the window is asked to close, and the result is
            // logged only after the window is gone.
            system.gate.beginFinalSteps();
            window->close();
            const bool gone = vesk::test::waitUntil([&] { return !::IsWindow(handle); });
            logger().info(gone ? "update thread: last step" : "update thread: window still there");
            system.gate.finished();
        });
    };
    EXPECT_EQ(runEntryRoutine("--channel beta", system.environment()), 0);
    ASSERT_TRUE(worker.joinable());
    worker.join();
    EXPECT_EQ(system.calls, (Lines{preflightCall("beta"), threadStartCall("beta")}));
    Lines expected = concat(startLines("--channel beta"), phaseOneLines("beta"));
    expected = concat(expected, {"INFO Update channel confirmed: beta"});
    expected = concat(expected, kWindowRunLines);
    EXPECT_EQ(log.entries(), concat(expected, {"INFO update thread: last step", kExitLine}));
}

TEST_F(EntryRoutine, AlreadyElevatedRelaunchResultGoesOnWithTheChannelLoggedTwice) {
    FakeSystem system;
    system.elevatedAnswers = {false};
    system.relaunchResult = alreadyElevated();
    // Restart-start without a usable process id is the normal start-up.
    const std::string commandLine = "--restart-start -pid 0 --channel beta";
    const WindowRun run = runWithWindowClosedByUser(commandLine, system);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(system.relaunches.size(), 1u);
    EXPECT_EQ(currentChannel, "beta");
    EXPECT_EQ(system.calls,
              (Lines{preflightCall("beta"), threadStartCall("beta"), kEndUnderRunningThreadCall}));
    Lines expected = concat(startLines(commandLine), phaseOneLines("beta"));
    expected = concat(expected, {"INFO Update channel confirmed: beta"});
    expected = concat(expected, kWindowRunLines);
    EXPECT_EQ(log.entries(), concat(expected, {kExitLine}));
}

TEST_F(EntryRoutine, WindowCreationFailureIsLoggedShownAndExitsWithOne) {
    // The class is taken already, so the window cannot be created.
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kUpdaterWindowClass;
    ASSERT_NE(::RegisterClassExW(&windowClass), 0);

    FakeSystem system;
    EXPECT_EQ(runEntryRoutine("-c -beta", system.environment()), 1);
    ASSERT_EQ(system.errorBoxes.size(), 1u);
    EXPECT_EQ(system.errorBoxes[0].first, L"Failed to initialize UI");
    EXPECT_EQ(system.errorBoxes[0].second, L"VESK Updater Error");
    // "-c" followed by an option-like word means the default channel; no thread is started.
    EXPECT_EQ(system.calls, Lines{preflightCall("")});
    Lines expected = concat(startLines("-c -beta"), phaseOneLines("stable"));
    expected = concat(
        expected, {"INFO Now run the update thread for normal workflow", "ERROR Failed to initialize UI"});
    EXPECT_EQ(log.entries(), expected);
    EXPECT_EQ(currentChannel, "");
}

TEST_F(EntryRoutine, TheInstallationsClaimDecidesWhetherThisStartDoesAnything) {
    struct Case {
        std::string arguments;
        std::vector<InstanceClaim> claims;
        bool windowShown;
        int exitCode;
        Lines calls; // the first ones, without the " after ..." part
        std::string lastLine;
    };
    using C = InstanceClaim;
    const std::vector<Case> cases{
        // A second start touches nothing and shows the run at work.
        {"", {C::HeldElsewhere}, true, 0, {"claimInstance(plain)", "showRunningInstance()"},
         "INFO Another update is already running - bringing its window to the front"},
        {"-c beta", {C::HeldElsewhere}, false, 0, {"claimInstance(plain)", "showRunningInstance()"},
         "INFO Another update is already running - exiting"},
        {"--restart-start -pid 7", {C::HeldElsewhere}, false, 1, {"claimInstance(hand-over)"},
         "INFO Another update is already running - exiting"},
        // The deferred self-update waits for the other run, a bounded time.
        {"--process-self-update", {C::HeldElsewhere}, false, 1, {"claimInstance(plain)", "claimInstance(plain)"},
         "ERROR Another update is already running - the self-update was not processed"},
        {"--process-self-update", {C::HeldElsewhere, C::HeldElsewhere, C::Owned}, false, 0,
         {"claimInstance(plain)", "claimInstance(plain)", "claimInstance(plain)", "prepareRun(holds, copy)",
          "runPreflight()", "processPendingSelfUpdate()"},
         "INFO Elevated - processing self-update now"},
        // The processes of a hand-over accept the lock from their starter; only a run that holds the
        // installation, and no hand-over, removes a left-over copy.
        {"--restart-start -pid 7", {C::HandedOver}, false, 0,
         {"claimInstance(hand-over)", "prepareRun(holds)", "runRestartStart(, 7)"}, "INFO Past admin elevation."},
        {"--restart-done --process-self-update", {C::HandedOver}, false, 0,
         {"claimInstance(hand-over)", "prepareRun(holds)", "runRestartDone()", "runPreflight()"},
         "INFO Elevated - processing self-update now"},
        {"--process-self-update", {C::Unavailable}, false, 0,
         {"claimInstance(plain)", "prepareRun(shared)", "runPreflight()"}, "INFO Elevated - processing self-update now"},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        system.claims = c.claims;
        system.runningWindowShown = c.windowShown;
        system.restartStartResult = 0;
        system.pendingSelfUpdateResult = 0;
        ProcessLogTail runLog;
        EXPECT_EQ(runEntryRoutine(c.arguments, system.environment()), c.exitCode) << c.arguments;
        Lines calls;
        for (const std::string& call : system.calls) {
            calls.push_back(call.substr(0, call.find(" after ")));
        }
        calls.resize(std::min(calls.size(), c.calls.size()));
        EXPECT_EQ(calls, c.calls) << c.arguments;
        ASSERT_FALSE(runLog.entries().empty());
        EXPECT_EQ(runLog.entries().back(), c.lastLine) << c.arguments;
    }
}

TEST_F(EntryRoutine, WindowShowsTheCheckAndItsDownloadAndClosingItEndsTheRunAtOnce) {
    FakeSystem system;
    bool shownInTurn = true;
    system.preflight = [&](const PreflightObserver& observer) {
        const auto shows = [](const std::string& status, int bar) {
            return vesk::test::waitUntil([&] {
                const HWND window = vesk::test::findProcessWindow(::GetCurrentProcessId(), kUpdaterWindowClass);
                return window && narrow(vesk::test::windowText(::GetDlgItem(window, IDC_STATUS_TEXT))) == status &&
                       vesk::test::progressPosition(::GetDlgItem(window, IDC_PROGRESS)) == bar;
            });
        };
        shownInTurn = shows("Checking updater files...", 0);
        observer.downloadStarted("libcurl.dll");
        observer.downloadProgress(3 << 20, std::uint64_t{12} << 20);
        shownInTurn = shownInTurn && shows("Downloading libcurl.dll...", 25);
        observer.downloadEnded();
        shownInTurn = shownInTurn && shows("Checking updater files...", 0);
        // The person closes the window while the check still works.
        ::PostMessageW(vesk::test::findProcessWindow(::GetCurrentProcessId(), kUpdaterWindowClass), WM_CLOSE, 0, 0);
        vesk::test::waitUntil(
            [] { return !vesk::test::findProcessWindow(::GetCurrentProcessId(), kUpdaterWindowClass); });
    };
    EXPECT_EQ(runEntryRoutine("", system.environment()), 0);
    EXPECT_TRUE(shownInTurn);
    EXPECT_EQ(system.calls, (Lines{preflightCall(""), kEndUnderRunningThreadCall}));
    const Lines checkLines{"INFO Past admin elevation.", "INFO Preflight channel: stable",
                           "INFO Downloading manifest and checking core updater files...", kExitLine};
    EXPECT_EQ(log.entries(), concat(startLines("(none)"), checkLines));
}
