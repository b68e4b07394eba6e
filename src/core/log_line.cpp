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

namespace vesk::updater {

std::string logSafeMessage(std::string_view message) {
    // Fast path: most messages hold no control character at all.
    bool clean = message.size() <= kLogMessageLimit;
    for (std::size_t i = 0; clean && i < message.size(); ++i) {
        const auto byte = static_cast<unsigned char>(message[i]);
        if (byte < 0x20 || byte == 0x7f || byte == 0xc2 || byte == 0xe2) {
            clean = false;
        }
    }
    if (clean) {
        return std::string(message);
    }
    std::string safe;
    std::size_t start = 0;
    // Split at the kept line breaks; every piece in between is escaped as an outside value is.
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '\n' && (i + 1 == message.size() || message.substr(i + 1, 2) == "  ")) {
            safe += logValue(message.substr(start, i - start), std::string::npos);
            safe += '\n';
            start = i + 1;
        }
    }
    safe += logValue(message.substr(start), std::string::npos);
    if (safe.size() > kLogMessageLimit) {
        return logValue(safe, kLogMessageLimit);
    }
    return safe;
}

} // namespace vesk::updater
