#include "app/entry_routine_win.h"

#include "app/command_line.h"
#include "app/final_steps_gate.h"
#include "app/update_thread_win.h"
#include "core/current_channel.h"
#include "core/logger.h"
#include "core/trusted_key.h"
#include "selfupdate/pending_self_update_win.h"
#include "selfupdate/preflight_updater_win.h"
#include "selfupdate/self_replacement_win.h"
#include "ui/updater_window_win.h"

#include <chrono>
#include <cstdint>
#include <memory>
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
    environment.runPreflight = [](const std::string& channel) { PreflightUpdater().runPreflight(channel); };
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

    const RestartStartRequest restartStart = findRestartStart(tokens);
    if (restartStart.chosen()) {
        return environment.runRestartStart(channel, restartStart.processId);
    }

    if (countToken(tokens, kOptionRestartDone) > 0) {
        environment.runRestartDone();
    }

    log.info("Preflight channel: " + channelForLog(channel));
    log.info("Downloading manifest and checking core updater files...");
    // Its result is not examined; it ends the process itself when it hands over to a copy of the program.
    environment.runPreflight(channel);
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
    auto window = std::make_unique<UpdaterWindow>();
    if (!window->create()) {
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
