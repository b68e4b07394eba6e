#include "support/log_lines.h"

#include "core/logger.h"
#include "support/temp_dir.h"

#include <regex>

namespace vesk::test {

std::vector<std::string> splitCrLfLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start));
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string levelAndMessage(const std::string& line) {
    static const std::regex layout(
        R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[(DEBUG|INFO|WARNING|ERROR)\] \[\] ([\s\S]*)$)");
    std::smatch match;
    if (!std::regex_match(line, match, layout)) {
        return {};
    }
    return match[1].str() + " " + match[2].str();
}

ProcessLogTail::ProcessLogTail()
    : path_(vesk::updater::logger().path()), start_(readFileBytes(path_).size()) {}

std::vector<std::string> ProcessLogTail::entries() const {
    const std::string bytes = readFileBytes(path_);
    std::vector<std::string> result;
    if (bytes.size() <= start_) {
        return result;
    }
    for (const std::string& line : splitCrLfLines(bytes.substr(start_))) {
        const std::string entry = levelAndMessage(line);
        result.push_back(entry.empty() ? "MALFORMED " + line : entry);
    }
    return result;
}

} // namespace vesk::test
