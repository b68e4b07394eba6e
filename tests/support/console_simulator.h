#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vesk::test {

// Places the console updater simulator (built beside the tests) into `folder` as `name` with the given
// script (see tests/programs/simulator/simulator_script.h), and returns its full path.
std::string installSimulator(const std::string& folder, const std::string& script,
                             const std::string& name = "Updater.exe");

// What a simulator installed at `simulatorPath` recorded about its start ("command_line", "pid",
// "working_directory", ...). Empty when it has not run.
std::map<std::string, std::string> readSimulatorRecord(const std::string& simulatorPath);

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

// True when `expected` occur in `lines` in this order (other lines may come between them).
bool containsInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected);

} // namespace vesk::test
