#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vesk::updater {

// Collects the console updater's output as it arrives in arbitrary pieces and cuts it into lines.
// A line ends at a line feed; one carriage return right before it is dropped, any other carriage return
// (a lone one, or the first of two) stays in the line. NUL bytes are dropped. Text after the last line feed
// waits for more output or for takeRest().
class OutputLineBuffer {
public:
    // Appends a piece of output and returns the lines it completed, in order (empty lines included).
    std::vector<std::string> append(std::string_view bytes);

    // The unterminated rest, exactly as received (a trailing carriage return included); clears it.
    std::string takeRest();

    bool hasRest() const { return !pending.empty(); }

private:
    std::string pending;
};

} // namespace vesk::updater
