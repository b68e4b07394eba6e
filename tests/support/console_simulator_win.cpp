#include "support/console_simulator.h"

#include "support/temp_dir.h"

#include <windows.h>

#include <sstream>
#include <stdexcept>

namespace vesk::test {

std::string installSimulator(const std::string& folder, const std::string& script, const std::string& name) {
    const std::string source = executableDirectory() + "\\console_updater_simulator.exe";
    const std::string target = folder + "\\" + name;
    if (!::CopyFileW(widePath(source).c_str(), widePath(target).c_str(), FALSE)) {
        throw std::runtime_error("cannot copy the simulator to " + target);
    }
    if (!writeFileBytes(target + ".script", script)) {
        throw std::runtime_error("cannot write the simulator script beside " + target);
    }
    ::DeleteFileW(widePath(target + ".record").c_str());
    return target;
}

std::map<std::string, std::string> readSimulatorRecord(const std::string& simulatorPath) {
    std::map<std::string, std::string> record;
    std::istringstream in(readFileBytes(simulatorPath + ".record"));
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            record[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return record;
}

} // namespace vesk::test
