#pragma once

#include <ctime>
#include <string>

namespace vesk::updater {

// The time stamp that opens every log line: "[YYYY-MM-DD HH:MM:SS]" in local time.
std::string formatLogStamp(const std::tm& localTime);

// One whole log line without its line end: stamp, " [", level, "] [] ", message.
std::string formatLogLine(const std::string& stamp, const std::string& level, const std::string& message);

} // namespace vesk::updater
