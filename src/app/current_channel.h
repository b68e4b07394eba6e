#pragma once

#include <string>

namespace vesk::updater {

// The update channel chosen on the command line; empty means the default channel ("stable" in log lines).
// Written by the entry routine before the update thread starts, read-only afterwards.
extern std::string currentChannel;

} // namespace vesk::updater
