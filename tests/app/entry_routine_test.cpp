#include "app/current_channel.h"
#include "app/entry_routine_win.h"
#include "support/log_lines.h"
#include "support/wait_until.h"
#include "support/window_probe_win.h"
#include "ui/updater_window_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

using namespace vesk::updater;
using vesk::test::ProcessLogTail;
using Lines = std::vector<std::string>;

namespace {

// Stands in for the system where Wine cannot: the elevation answers, the relaunch and the message boxes.
struct FakeSystem {
    // Answers of isProcessElevated in order; the last one repeats.
    std::vector<bool> elevatedAnswers{true};
    ElevationResult relaunchResult;

    int elevationChecks = 0;
    std::vector<std::vector<std::string>> relaunches;
    std::vector<std::pair<std::wstring, std::wstring>> errorBoxes;

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
        return environment;
    }
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

const Lines kStartLines{
    "INFO === VESK_Updater.exe Starting ===",
    "INFO === Phase 1: Manifest Download & Core File Verification ===",
};

Lines concat(Lines first, const Lines& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
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
    "INFO Now run the update thread for normal workflow", "INFO UI initialized successfully",
    "INFO Starting update thread for normal workflow",    "DEBUG Starting UI message loop",
    "INFO VESK_Updater.exe exiting with code: 0",
};

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
            window = vesk::test::findProcessWindow(::GetCurrentProcessId(), kUpdaterWindowClass);
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
    // Nothing is logged after the relaunch: the elevated child writes its own lines.
    EXPECT_EQ(log.entries(), concat(kStartLines, {"INFO Command line: -c beta   --restart-done"}));

    system.relaunchResult = relaunched(0xC0000005u);
    EXPECT_EQ(static_cast<std::uint32_t>(runEntryRoutine("", system.environment())), 0xC0000005u);
    EXPECT_EQ(system.relaunches.back(), Lines{"VESK_Updater.exe"});
}

TEST_F(EntryRoutine, FailedRelaunchShowsTheElevationBoxAndExitsWithOne) {
    FakeSystem system;
    system.elevatedAnswers = {false};
    system.relaunchResult = relaunchFailed();

    EXPECT_EQ(runEntryRoutine("", system.environment()), 1);
    ASSERT_EQ(system.errorBoxes.size(), 1u);
    EXPECT_EQ(system.errorBoxes[0].first,
              L"Failed to elevate privileges. Please run VESK Updater as Administrator manually.");
    EXPECT_EQ(system.errorBoxes[0].second, L"Elevation Failed");
    EXPECT_EQ(log.entries(), concat(kStartLines, {"INFO Command line: (none)"}));
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
    Lines expected = concat(kStartLines, {"INFO Command line: " + commandLine});
    expected = concat(expected, phaseOneLines("beta"));
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
    const Lines entries = log.entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "INFO Not elevated - requesting elevation for self-update");
    EXPECT_EQ(entries.back(), "ERROR Failed to restart with elevation");
}

TEST_F(EntryRoutine, ElevatedSelfUpdateModeNeverOpensTheWindow) {
    FakeSystem system;
    runEntryRoutine("--process-self-update", system.environment());
    EXPECT_TRUE(system.relaunches.empty());
    EXPECT_EQ(system.elevationChecks, 2);
    const Lines entries = log.entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "INFO Processing self-update request...");
    EXPECT_EQ(entries.back(), "INFO Elevated - processing self-update now");
}

TEST_F(EntryRoutine, ElevatedNormalRunShowsTheWindowUntilClosedAndExitsWithZero) {
    FakeSystem system;
    const WindowRun run = runWithWindowClosedByUser("", system);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.caption, L"VESK Updater");
    EXPECT_EQ(system.elevationChecks, 1);
    EXPECT_TRUE(system.relaunches.empty()); // an elevated process never asks again
    EXPECT_TRUE(system.errorBoxes.empty());
    EXPECT_EQ(currentChannel, "");
    Lines expected = concat(kStartLines, {"INFO Command line: (none)"});
    expected = concat(expected, phaseOneLines("stable"));
    EXPECT_EQ(log.entries(), concat(expected, kWindowRunLines));
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
    Lines expected = concat(kStartLines, {"INFO Command line: " + commandLine});
    expected = concat(expected, phaseOneLines("beta"));
    expected = concat(expected, {"INFO Update channel confirmed: beta"});
    EXPECT_EQ(log.entries(), concat(expected, kWindowRunLines));
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
    const Lines entries = log.entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "INFO Now run the update thread for normal workflow");
    EXPECT_EQ(entries.back(), "ERROR Failed to initialize UI");
    // "-c" followed by an option-like word means the default channel.
    EXPECT_NE(std::find(entries.begin(), entries.end(), "INFO Preflight channel: stable"), entries.end());
    EXPECT_EQ(currentChannel, "");
}
