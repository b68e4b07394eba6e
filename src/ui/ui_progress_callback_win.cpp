#include "ui/ui_progress_callback_win.h"

#include "ui/updater_window_win.h"

#include <chrono>
#include <thread>

namespace vesk::updater {

void UIProgressCallback::onProgress(int percent) {
    if (window) {
        window->setProgress(percent);
    }
}

void UIProgressCallback::onStatus(const std::string& status) {
    if (window) {
        window->setStatus(status);
    }
}

void UIProgressCallback::onError(const std::string& error) {
    if (window) {
        window->setStatus("Error: " + error);
    }
}

void UIProgressCallback::onComplete(bool success) {
    if (!window) {
        return;
    }
    window->setStatus(success ? "Update completed successfully!" : "Update failed!");
    window->setProgress(100);
    // Leave the final text on screen for a moment before the window closes; only this thread waits.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    window->close();
}

} // namespace vesk::updater
