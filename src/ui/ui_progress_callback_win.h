#pragma once

#include "ui/progress_callback.h"

namespace vesk::updater {

class UpdaterWindow;

// Forwards the update work's reports to the progress window through its thread-safe operations. Does
// nothing when built without a window. The window is not owned.
class UIProgressCallback : public IProgressCallback {
public:
    explicit UIProgressCallback(UpdaterWindow* window) : window(window) {}

    void onProgress(int percent) override;
    void onStatus(const std::string& status) override;
    // Shows "Error: " + the text in the status line; the bar stays where it is.
    void onError(const std::string& error) override;
    // Shows the final text, fills the bar, waits one second on the calling thread, then closes the window.
    void onComplete(bool success) override;

private:
    UpdaterWindow* window;
};

} // namespace vesk::updater
