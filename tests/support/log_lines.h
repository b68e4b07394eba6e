#pragma once

#include <string>
#include <vector>

namespace vesk::test {

// Splits log bytes at CR LF. A lone LF inside a line stays in it, so a broken line end shows up in the line.
std::vector<std::string> splitCrLfLines(const std::string& bytes);

// "LEVEL message" for a line laid out as "[YYYY-MM-DD HH:MM:SS] [LEVEL] [] message"; "" when the layout is
// wrong in any way (stamp, brackets, spacing, unknown level).
std::string levelAndMessage(const std::string& line);

// The lines the process-wide log gained since construction, as levelAndMessage texts.
class ProcessLogTail {
public:
    ProcessLogTail();
    std::vector<std::string> entries() const;

private:
    std::string path_;
    std::size_t start_ = 0;
};

} // namespace vesk::test
