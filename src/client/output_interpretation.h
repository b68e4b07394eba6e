#pragma once

#include "ui/progress_callback.h"

#include <string_view>

namespace vesk::updater {

// Turns one line of the console updater's output into a status text and a progress value (or an error
// report) on the callback. The line comes without its line feed and without one trailing carriage return.
// Only the first phrase rule that matches applies; lines that match none are dropped. `progress` is the
// watcher's running percentage: rules set it or raise it, and it is never clamped. Never completes the run.
void interpretOutputLine(std::string_view line, int& progress, IProgressCallback& callback);

} // namespace vesk::updater
