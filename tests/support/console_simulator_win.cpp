#include "support/console_simulator.h"

#include "support/temp_dir.h"

#include <windows.h>

#include <sstream>
#include <stdexcept>

namespace vesk::test {

std::string installSimulator(const std::string& folder, const std::string& script, const std::string& name) {
    const std::string source = executableDirectory() + "\\console_updater_simulator.exe";
    const std::string target = folder + "\\" + name;
    if (!::CopyFileA(source.c_str(), target.c_str(), FALSE)) {
        throw std::runtime_error("cannot copy the simulator to " + target);
    }
    if (!writeFileBytes(target + ".script", script)) {
        throw std::runtime_error("cannot write the simulator script beside " + target);
    }
    ::DeleteFileA((target + ".record").c_str());
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

LogFollower::LogFollower(std::string logPath) : path(std::move(logPath)) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    startOffset = 0;
    if (::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        startOffset = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
}

std::vector<std::string> LogFollower::lines() const {
    const std::string bytes = readFileBytes(path);
    std::vector<std::string> result;
    if (bytes.size() <= startOffset) {
        return result;
    }
    std::istringstream in(bytes.substr(static_cast<size_t>(startOffset)));
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
