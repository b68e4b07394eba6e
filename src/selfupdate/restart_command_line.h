#pragma once

#include <cstdint>
#include <string>

namespace vesk::updater {

// The command line that starts a copy of the program which waits for processId to end and then replaces the
// installed executable: "\"path\" --restart-start[ -c channel] -pid N".
std::string buildRestartStartCommandLine(const std::string& executablePath, const std::string& channel,
                                         std::uint32_t processId);

// The command line that starts the freshly installed executable so it removes the replacement copy:
// "\"path\" --restart-done[ -c channel]".
std::string buildRestartDoneCommandLine(const std::string& executablePath, const std::string& channel);

} // namespace vesk::updater
