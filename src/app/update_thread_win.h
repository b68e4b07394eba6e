#pragma once

#include "app/final_steps_gate.h"
#include "ui/progress_callback.h"

#include <functional>
#include <string>

namespace vesk::updater {

class UpdaterWindow;

// What the update thread works with besides its reports; the defaults are the real program's.
struct UpdateThreadParts {
    // Told when the update has ended and when the thread is done (see FinalStepsGate).
    FinalStepsGate* gate = &updateThreadGate();
    // Hands over to the console updater when a temp copy of this program waits; true when it was started.
    std::function<bool()> tempCopyHandoff;
    // Where the console updater is looked for as if this program lived there; empty: the real place.
    std::string consoleUpdaterDirectory;
};

// The body of the update thread: runs the console updater for `currentChannel`, logs the outcome, cleans up,
// hands over to a waiting temp copy after a success, and reports completion on `reports`. Lets no exception
// out: one that escapes a step is logged at ERROR and reported as a failed update.
void runUpdateThread(IProgressCallback& reports, const UpdateThreadParts& parts) noexcept;

// The procedure of the program's detached update thread, reporting to the window.
void updateThreadMain(UpdaterWindow* window) noexcept;

} // namespace vesk::updater
