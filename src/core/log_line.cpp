#include "core/log_line.h"

namespace vesk::updater {

std::string formatLogStamp(const std::tm& localTime) {
    char buffer[64] = {};
    const size_t length = std::strftime(buffer, sizeof buffer, "[%Y-%m-%d %H:%M:%S]", &localTime);
    return std::string(buffer, length);
}

std::string formatLogLine(const std::string& stamp, const std::string& level, const std::string& message) {
    std::string line;
    line.reserve(stamp.size() + level.size() + message.size() + 8);
    line += stamp;
    line += " [";
    line += level;
    line += "] [] ";
    line += message;
    return line;
}

} // namespace vesk::updater
