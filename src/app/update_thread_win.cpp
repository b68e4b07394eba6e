#include "app/update_thread_win.h"

#include "client/update_client_win.h"
#include "core/current_channel.h"
#include "core/logger.h"
#include "core/settings.h"
#include "selfupdate/temp_copy_handoff_win.h"
#include "selfupdate/unexpected_error.h"
#include "ui/ui_progress_callback_win.h"

#include <chrono>
#include <thread>

namespace vesk::updater {

namespace {

// The process is ending without waiting for this thread: stay clear of everything until it is gone.
[[noreturn]] void waitForProcessEnd() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

// Passes every report on, but first tells the gate when the update has ended: the first completion report
// is what closes the window, so the main thread must know by then that the last steps are under way.
class FinalStepsAnnouncer : public IProgressCallback {
public:
    FinalStepsAnnouncer(IProgressCallback& reports, FinalStepsGate& gate) : reports(reports), gate(gate) {}

    void onProgress(int percent) override { reports.onProgress(percent); }
    void onStatus(const std::string& status) override { reports.onStatus(status); }
    void onError(const std::string& error) override { reports.onError(error); }
    void onComplete(bool success) override {
        if (!gate.beginFinalSteps()) {
            waitForProcessEnd();
        }
        reports.onComplete(success);
    }

private:
    IProgressCallback& reports;
    FinalStepsGate& gate;
};

void runSteps(IProgressCallback& reports, const UpdateThreadParts& parts) {
    Logger& log = logger();
    log.info("=== Update Thread Starting ===");
    log.info("Channel for update: " + channelForLog(currentChannel));

    UpdateClient client(&reports, currentChannel, parts.consoleUpdaterDirectory);
    if (!client.initialize()) {
        log.error("Failed to initialize update client");
        reports.onError("Failed to initialize update client");
        reports.onComplete(false);
        return;
    }
    log.info("Update client initialized successfully");

    const std::string manifestUrl = getManifestUrl(currentChannel);
    log.info("Built manifest URL: " + manifestUrl);

    const bool result = client.runUpdate(manifestUrl);
    // From here on the thread finishes even if the window closes meanwhile.
    if (!parts.gate->beginFinalSteps()) {
        waitForProcessEnd();
    }
    log.info(std::string("Update process completed with result: ") + (result ? "SUCCESS" : "FAILURE"));
    client.cleanup();
    log.info("Update thread completed");

    if (result) {
        log.info("Checking for pending self-update after successful update...");
        if (parts.tempCopyHandoff && parts.tempCopyHandoff()) {
            log.info("Self-update detected - bootstrap process initiated");
            log.info("VESK_Updater.exe will exit after user acknowledges");
            reports.onComplete(true);
            return;
        }
    }
    reports.onComplete(result);
}

// After an error nothing was prepared for (out of memory included), the run ends as a failed update does:
// the window shows it and closes, and the program ends normally. A report that fails in turn is skipped.
void reportUnexpectedFailure(IProgressCallback& reports) noexcept {
    try {
        reports.onError("Update process failed");
    } catch (...) {
    }
    try {
        reports.onComplete(false);
    } catch (...) {
    }
}

} // namespace

void runUpdateThread(IProgressCallback& reports, const UpdateThreadParts& parts) noexcept {
    {
        FinalStepsAnnouncer announcer(reports, *parts.gate);
        try {
            runSteps(announcer, parts);
        } catch (...) {
            logUnexpectedError("Update thread");
            reportUnexpectedFailure(announcer);
        }
    }
    // Everything the thread owned is gone; the window may be destroyed from now on.
    parts.gate->finished();
}

void updateThreadMain(UpdaterWindow* window) noexcept {
    UIProgressCallback callback(window);
    try {
        UpdateThreadParts parts;
        parts.tempCopyHandoff = [] { return runTempCopyHandoff(); };
        runUpdateThread(callback, parts);
    } catch (...) {
        // Only the thread's own set-up can get here; runUpdateThread lets nothing out.
        logUnexpectedError("Update thread");
        reportUnexpectedFailure(callback);
    }
}

} // namespace vesk::updater
