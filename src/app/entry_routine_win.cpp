#include "app/entry_routine_win.h"

#include "app/command_line.h"
#include "app/final_steps_gate.h"
#include "app/run_housekeeping_win.h"
#include "app/update_thread_win.h"
#include "core/current_channel.h"
#include "core/logger.h"
#include "core/run_folder.h"
#include "core/settings.h"
#include "core/trusted_key.h"
#include "selfupdate/pending_self_update_win.h"
#include "selfupdate/preflight_updater_win.h"
#include "selfupdate/self_replacement_win.h"
#include "ui/updater_window_win.h"

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace vesk::updater {

namespace {

ElevationResult relaunchElevated(const EntryEnvironment& environment,
                                 const std::vector<std::string>& arguments) {
    std::vector<const char*> argv;
    argv.reserve(arguments.size());
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    return environment.restartElevated(static_cast<int>(argv.size()), argv.data());
}

// How long the end of a normal run waits for the update thread's last steps; they normally take about a
// second, but starting the console updater for a handoff may wait on the user's consent.
constexpr std::chrono::seconds kFinalStepsLimit{60};

// What the window says while the start-up check works, before the update itself begins.
const std::string kCheckingStatus = "Checking updater files...";
const std::string kInitialStatus = "Initializing...";

const std::string kAnotherRun = "Another update is already running";

InstanceClaim claimInstance(const EntryEnvironment& environment, bool acceptHandOver) {
    return environment.claimInstance ? environment.claimInstance(acceptHandOver) : InstanceClaim::Owned;
}

// The deferred self-update is called by installers and services, which expect it to do its work: it waits a
// bounded time for the other run instead of giving up at once.
InstanceClaim waitForInstance(const EntryEnvironment& environment) {
    const auto deadline = std::chrono::steady_clock::now() + environment.deferredRunWait;
    for (;;) {
        const InstanceClaim claim = claimInstance(environment, false);
        if (claim != InstanceClaim::HeldElsewhere || std::chrono::steady_clock::now() >= deadline) {
            return claim;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

void prepareRun(const EntryEnvironment& environment, InstanceClaim claim, bool withHandOverCopy) {
    if (claim == InstanceClaim::Unavailable) {
        logger().warning("Could not take the installation's run lock - going on without it");
    }
    if (environment.prepareRun) {
        const bool holds = claim == InstanceClaim::Owned || claim == InstanceClaim::HandedOver;
        environment.prepareRun(holds, holds && withHandOverCopy);
    }
}

// The start-up check while the window shows: it runs on a worker thread so that the main thread, which owns
// the window, keeps it drawn and answering; its downloads move the bar. Returns false when the person
// closed the window meanwhile.
enum class CheckOutcome { Done, HandedOver, WindowClosed };

CheckOutcome runCheckBehindWindow(const EntryEnvironment& environment, const std::string& channel,
                                  UpdaterWindow& window) {
    std::atomic<bool> handedOver{false};
    PreflightObserver observer;
    observer.downloadStarted = [&window](const std::string& name) {
        window.setStatus("Downloading " + name + "...");
        window.setProgress(0);
    };
    observer.downloadProgress = [&window](std::uint64_t received, std::optional<std::uint64_t> total) {
        window.setProgress(downloadPercent(received, total));
    };
    observer.downloadEnded = [&window] {
        window.setStatus(kCheckingStatus);
        window.setProgress(0);
    };
    observer.endProcess = [&handedOver] { handedOver = true; };

    KernelHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) {
        environment.runPreflight(channel, observer); // cannot wait for a worker: keep the old way
        return handedOver ? CheckOutcome::HandedOver : CheckOutcome::Done;
    }
    std::thread worker([&] {
        environment.runPreflight(channel, observer);
        ::SetEvent(done.get());
    });
    const bool finished = window.pumpMessagesUntil(done.get());
    if (!finished) {
        // The person has chosen to stop; a check cut short leaves no partial core file behind.
        logger().info("VESK_Updater.exe exiting with code: 0");
        if (environment.endProcessUnderRunningThread) {
            environment.endProcessUnderRunningThread(0);
        }
    }
    worker.join();
    if (!finished) {
        return CheckOutcome::WindowClosed;
    }
    return handedOver ? CheckOutcome::HandedOver : CheckOutcome::Done;
}

} // namespace

EntryEnvironment systemEntryEnvironment() {
    EntryEnvironment environment;
    environment.isProcessElevated = [] { return isProcessElevated(); };
    environment.restartElevated = [](int argc, const char* const argv[]) {
        return restartElevated(argc, argv);
    };
    environment.showError = [](const std::wstring& text, const std::wstring& caption) {
        ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
    };
    environment.runRestartStart = [](const std::string& channel, std::uint32_t processId) {
        return runRestartStart(channel, processId);
    };
    environment.runRestartDone = [] { runRestartDone(); };
    environment.runPreflight = [](const std::string& channel, const PreflightObserver& observer) {
        PreflightUpdater updater;
        updater.setObserver(observer);
        updater.runPreflight(channel);
    };
    environment.processPendingSelfUpdate = [] { return processPendingSelfUpdate(); };
    environment.startUpdateThread = [](UpdaterWindow* window) {
        std::thread(updateThreadMain, window).detach();
    };
    environment.finalStepsGate = &updateThreadGate();
    environment.endProcessUnderRunningThread = [](int exitCode) {
        // Returning would run the static destructors while the update thread may still use those objects;
        // ending here runs none. Every log line is flushed as it is written, so nothing is lost.
        ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exitCode));
        ::ExitProcess(static_cast<UINT>(exitCode));
    };
    // Read once for both steps: the lookup logs a warning each time it falls back to the default.
    auto installDirectory = std::make_shared<std::optional<std::string>>();
    const auto installDirectoryOnce = [installDirectory] {
        if (!*installDirectory) {
            *installDirectory = getInstallDirectory();
        }
        return **installDirectory;
    };
    environment.claimInstance = [installDirectoryOnce](bool acceptHandOver) {
        return acceptHandOver ? claimHandedOverInstanceLock(installDirectoryOnce())
                              : claimInstanceLock(installDirectoryOnce());
    };
    environment.releaseInstance = [] { releaseInstanceLock(); };
    environment.deferredRunWait = kDeferredRunLockWait;
    environment.showRunningInstance = [] { return bringRunningWindowToFront(kRunningWindowWait); };
    environment.prepareRun = [installDirectoryOnce](bool holdsInstallation, bool withHandOverCopy) {
        const std::string folder = prepareRunFolder(runTemporaryFolder(), ::GetCurrentProcessId());
        if (!folder.empty()) {
            setRunTemporaryFolder(folder);
        }
        if (holdsInstallation) {
            removeInstallLeftovers(installDirectoryOnce(), withHandOverCopy);
        }
    };
    // The normal process exit, as when the check hands over without a window.
    environment.endProcessAfterHandOver = [](int exitCode) { std::exit(exitCode); };
    return environment;
}

int runEntryRoutine(const std::string& commandLine, const EntryEnvironment& environment) {
    Logger& log = logger();
    log.info("=== VESK_Updater.exe Starting ===");
    if (trustedReleaseMode()) {
        log.info("Trusted-release mode: only manifests signed with the built-in release key are trusted");
    }
    log.info("=== Phase 1: Manifest Download & Core File Verification ===");
    log.info("Command line: " + (commandLine.empty() ? std::string("(none)") : commandLine));

    // The same words serve every step: the channel of Phase 1 and the restart modes, the elevation relaunch
    // and Phase 2.
    const std::vector<std::string> tokens = tokenizeCommandLine(commandLine);
    const std::string channel = parseChannelArgument(tokens);

    if (!environment.isProcessElevated()) {
        const ElevationResult relaunch = relaunchElevated(environment, buildRelaunchArguments(tokens));
        if (relaunch.success && !relaunch.alreadyElevated) {
            return static_cast<int>(relaunch.exitCode);
        }
        if (!relaunch.success) {
            environment.showError(
                L"Failed to elevate privileges. Please run VESK Updater as Administrator manually.",
                L"Elevation Failed");
            return 1;
        }
    }
    log.info("Past admin elevation.");

    // One run at a time works on an installation. The processes of a hand-over receive the lock from the one
    // before them.
    const RestartStartRequest restartStart = findRestartStart(tokens);
    if (restartStart.chosen()) {
        const InstanceClaim claim = claimInstance(environment, true);
        if (claim == InstanceClaim::HeldElsewhere) {
            log.info(kAnotherRun + " - exiting");
            return 1;
        }
        prepareRun(environment, claim, false);
        return environment.runRestartStart(channel, restartStart.processId);
    }

    const bool restartDone = countToken(tokens, kOptionRestartDone) > 0;
    const bool selfUpdateMode = countToken(tokens, kOptionProcessSelfUpdate) > 0;
    InstanceClaim claim = claimInstance(environment, restartDone);
    if (claim == InstanceClaim::HeldElsewhere) {
        if (!selfUpdateMode) {
            // Nothing is repaired, run or replaced twice: the person is shown the run that is at work.
            const bool shown = environment.showRunningInstance && environment.showRunningInstance();
            log.info(kAnotherRun + (shown ? " - bringing its window to the front" : " - exiting"));
            return 0;
        }
        log.info(kAnotherRun + " - waiting up to " +
                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(environment.deferredRunWait)
                                    .count()) +
                 " seconds for it to end");
        claim = waitForInstance(environment);
        if (claim == InstanceClaim::HeldElsewhere) {
            log.error(kAnotherRun + " - the self-update was not processed");
            return 1;
        }
    }
    // A copy in "update" that no hand-over is using any more is removed; the restart-done clean-up removes
    // the one it was handed.
    prepareRun(environment, claim, !restartDone);

    if (restartDone) {
        environment.runRestartDone();
    }

    // A normal run shows its window before the check's network work, so the person sees the program at once;
    // the deferred self-update is called by installers and services and opens none.
    std::unique_ptr<UpdaterWindow> window;
    if (!selfUpdateMode) {
        window = std::make_unique<UpdaterWindow>();
        if (!window->create(kCheckingStatus)) {
            window.reset(); // the normal run reports it where it always has
        }
    }

    log.info("Preflight channel: " + channelForLog(channel));
    log.info("Downloading manifest and checking core updater files...");
    // Its result is not examined; it ends the process itself when it hands over to a copy of the program.
    if (window) {
        switch (runCheckBehindWindow(environment, channel, *window)) {
        case CheckOutcome::WindowClosed:
            return 0;
        case CheckOutcome::HandedOver:
            window.reset();
            if (environment.endProcessAfterHandOver) {
                environment.endProcessAfterHandOver(0);
            }
            return 0;
        case CheckOutcome::Done:
            window->setStatus(kInitialStatus);
            window->setProgress(0);
            break;
        }
    } else {
        environment.runPreflight(channel, PreflightObserver{});
    }
    log.info("Core file verification completed - proceeding with normal startup");

    log.info("=== Phase 2: Command Line Processing & Normal Workflow ===");
    log.info("Full command line processing...");
    currentChannel = channel;
    bool processSelfUpdate = false;
    for (const std::string& token : tokens) {
        if (token == kOptionProcessSelfUpdate) {
            processSelfUpdate = true;
            log.info("Self-update processing flag detected");
        }
    }
    const std::string confirmedChannel = parseChannelArgument(tokens);
    if (!confirmedChannel.empty()) {
        currentChannel = confirmedChannel;
        log.info("Update channel confirmed: " + currentChannel);
    }

    if (processSelfUpdate) {
        log.info("Processing self-update request...");
        if (!environment.isProcessElevated()) {
            log.info("Not elevated - requesting elevation for self-update");
            if (environment.releaseInstance) {
                environment.releaseInstance();
            }
            const ElevationResult relaunch =
                relaunchElevated(environment, buildSelfUpdateRelaunchArguments(tokens));
            if (relaunch.success && !relaunch.alreadyElevated) {
                log.info("Restarted with elevation - exiting current instance");
                return static_cast<int>(relaunch.exitCode);
            }
            if (!relaunch.success) {
                log.error("Failed to restart with elevation");
                environment.showError(
                    L"Failed to elevate for self-update. Please run VESK Updater as Administrator.",
                    L"Elevation Required");
                return 1;
            }
        }
        log.info("Elevated - processing self-update now");
        return environment.processPendingSelfUpdate();
    }

    log.info("Now run the update thread for normal workflow");
    // On the heap, so that it can outlive this routine: an update thread still at work when the process
    // ends may report to it until the very end.
    if (!window) {
        window = std::make_unique<UpdaterWindow>();
    }
    if (!window->windowHandle() && !window->create()) {
        log.error("Failed to initialize UI");
        environment.showError(L"Failed to initialize UI", L"VESK Updater Error");
        return 1;
    }
    log.info("UI initialized successfully");
    window->setTitle("VESK Updater");

    log.info("Starting update thread for normal workflow");
    environment.startUpdateThread(window.get());

    log.debug("Starting UI message loop");
    const int exitCode = window->runMessageLoop();
    // The window closes itself as the update ends, while the update thread still logs the result, cleans up,
    // may start the console updater to replace this program and reports once more: those steps finish
    // first. A window the user closed while the update ran ends the program at once: the user has chosen to
    // stop, so nothing of the unfinished update is waited for.
    FinalStepsGate* const gate = environment.finalStepsGate;
    const bool threadMayRun =
        gate == nullptr || gate->waitAfterWindowClosed(kFinalStepsLimit) != FinalStepsGate::Outcome::Finished;
    if (threadMayRun) {
        static_cast<void>(window.release()); // the thread may still use it; the process ends first
    }
    log.info("VESK_Updater.exe exiting with code: " + std::to_string(static_cast<std::uint32_t>(exitCode)));
    if (threadMayRun && environment.endProcessUnderRunningThread) {
        environment.endProcessUnderRunningThread(exitCode);
    }
    return exitCode;
}

} // namespace vesk::updater
