#pragma once

#include <string>

namespace vesk::updater {

// The update channel chosen on the command line; empty means the default channel ("stable" in log lines).
// Written by the entry routine before the update thread starts, read-only afterwards. It lives for the whole
// process: a thread still reading it while the process ends never finds it destroyed.
extern std::string& currentChannel;

// The channel as log lines name it: "stable" for the default (empty) channel.
std::string channelForLog(const std::string& channel);

} // namespace vesk::updater
