#pragma once

#include "app/final_steps_gate.h"
#include "core/instance_lock_win.h"
#include "core/privilege.h"
#include "selfupdate/preflight_observer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vesk::updater {

class UpdaterWindow;

// What the entry routine asks of the system and of the program's modes, so that a test can answer
// differently: Wine always reports an elevated process, a message box would wait for a click, and the modes
// download, replace files and end the process. systemEntryEnvironment() fills every member with the real one.
struct EntryEnvironment {
    // Whether this process is elevated.
    std::function<bool()> isProcessElevated;
    // Relaunches the program elevated with argv[1..argc-1] and waits for it.
    std::function<ElevationResult(int argc, const char* const argv[])> restartElevated;
    // An error message box with no owner window, MB_OK and MB_ICONERROR.
    std::function<void(const std::wstring& text, const std::wstring& caption)> showError;

    // Restart-start mode for the channel, waiting for processId; returns the process exit code.
    std::function<int(const std::string& channel, std::uint32_t processId)> runRestartStart;
    // Removes what restart-start left behind.
    std::function<void()> runRestartDone;
    // Checks and repairs the core files for the channel, telling the observer about its downloads; does not
    // return when it hands over to a copy, unless the observer says how the process ends.
    std::function<void(const std::string& channel, const PreflightObserver& observer)> runPreflight;
    // The deferred self-update mode; returns the process exit code.
    std::function<int()> processPendingSelfUpdate;
    // Starts the detached update thread that reports to the window.
    std::function<void(UpdaterWindow* window)> startUpdateThread;
    // Tells the end of a normal run whether the update thread's last steps are under way or done.
    FinalStepsGate* finalStepsGate = nullptr;
    // Ends the process with the exit code once a normal run has logged its exit line while the update thread
    // may still be at work: no object that thread can reach is destroyed under it. Unset: the routine
    // returns.
    std::function<void(int exitCode)> endProcessUnderRunningThread;

    // Claims the installation for this run (acceptHandOver: also as the process a hand-over started).
    // Unset: the run always holds it.
    std::function<InstanceClaim(bool acceptHandOver)> claimInstance;
    // Lets the installation go before the deferred self-update restarts itself elevated, so that the
    // elevated copy can take it. Unset: nothing to let go.
    std::function<void()> releaseInstance;
    // How long the deferred self-update waits for another run of the installation to end.
    std::chrono::milliseconds deferredRunWait{120000};
    // A second start: brings the running run's window to the front, waiting a bounded time for it; true
    // when it was found. Unset: nothing is shown.
    std::function<bool()> showRunningInstance;
    // Gives the run its own temporary folder, removing what ended runs left there, and, when the run holds
    // the installation, what they left in the install folder (the hand-over copy too when withHandOverCopy).
    std::function<void(bool holdsInstallation, bool withHandOverCopy)> prepareRun;
    // Ends the process once the start-up check has started the hand-over copy while the window showed.
    // Unset: the routine returns 0.
    std::function<void(int exitCode)> endProcessAfterHandOver;
};

// The real system and modes: the token's elevation, the shell's "runas" relaunch, MessageBoxW, the restart
// modes, the preflight, the deferred self-update and the update thread with its gate.
EntryEnvironment systemEntryEnvironment();

// The program's start-up: logs the start, makes sure it runs elevated, picks the mode from the command line
// (the narrow command line without the program name) and runs it. Returns the process exit code.
int runEntryRoutine(const std::string& commandLine, const EntryEnvironment& environment);

} // namespace vesk::updater
