#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::test {

// Follows a log file from the moment of construction: lines() returns the lines written since then,
// without their time stamp ("[INFO] [] message").
class LogFollower {
public:
    explicit LogFollower(std::string path);
    std::vector<std::string> lines() const;

private:
    std::string path;
    std::uint64_t startOffset;
};

// What a log file received since it was offset bytes long, also when the logger has moved it aside to
// "<path>.1" in between (the older file's tail, then the new file).
std::string logBytesSince(const std::string& path, std::uint64_t offset);

// True when `expected` occur in `lines` in this order (other lines may come between them).
bool containsInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected);

} // namespace vesk::test
