#pragma once

#include <map>
#include <string>

namespace vesk::test {

// Places the console updater simulator (built beside the tests) into `folder` as `name` with the given
// script (see tests/programs/simulator/simulator_script.h), and returns its full path.
std::string installSimulator(const std::string& folder, const std::string& script,
                             const std::string& name = "Updater.exe");

// What a simulator installed at `simulatorPath` recorded about its start ("command_line", "pid",
// "working_directory", ...). Empty when it has not run.
std::map<std::string, std::string> readSimulatorRecord(const std::string& simulatorPath);

} // namespace vesk::test
