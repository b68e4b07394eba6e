#include "support/log_follower.h"

#include "support/temp_dir.h"

#include <windows.h>

#include <sstream>

namespace vesk::test {

LogFollower::LogFollower(std::string logPath) : path(std::move(logPath)) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    startOffset = 0;
    if (::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        startOffset = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
}

std::string logBytesSince(const std::string& path, std::uint64_t offset) {
    const std::string bytes = readFileBytes(path);
    if (bytes.size() >= offset) {
        return bytes.substr(static_cast<size_t>(offset));
    }
    const std::string previous = readFileBytes(path + ".1");
    return (previous.size() > offset ? previous.substr(static_cast<size_t>(offset)) : std::string()) + bytes;
}

std::vector<std::string> LogFollower::lines() const {
    std::vector<std::string> result;
    std::istringstream in(logBytesSince(path, startOffset));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // "[YYYY-MM-DD HH:MM:SS] " is 22 characters.
        result.push_back(line.size() > 22 && line[0] == '[' ? line.substr(22) : line);
    }
    return result;
}

bool containsInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    size_t next = 0;
    for (const std::string& line : lines) {
        if (next < expected.size() && line == expected[next]) {
            ++next;
        }
    }
    return next == expected.size();
}

} // namespace vesk::test
