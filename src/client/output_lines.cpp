#include "client/output_lines.h"

namespace vesk::updater {

std::vector<std::string> OutputLineBuffer::append(std::string_view bytes) {
    // Only the new bytes can hold a line feed: the pending text never does after the previous call.
    // Scanning from the join keeps a long line arriving in many pieces linear in its length.
    size_t scanFrom = pending.size();
    pending.reserve(pending.size() + bytes.size());
    for (const char byte : bytes) {
        // A NUL is not text; dropping just that byte keeps everything around it.
        if (byte != '\0') {
            pending.push_back(byte);
        }
    }

    std::vector<std::string> lines;
    size_t lineStart = 0;
    for (size_t feed = pending.find('\n', scanFrom); feed != std::string::npos;
         feed = pending.find('\n', lineStart)) {
        size_t lineEnd = feed;
        if (lineEnd > lineStart && pending[lineEnd - 1] == '\r') {
            --lineEnd;
        }
        lines.emplace_back(pending, lineStart, lineEnd - lineStart);
        lineStart = feed + 1;
    }
    pending.erase(0, lineStart);
    return lines;
}

std::string OutputLineBuffer::takeRest() {
    std::string rest;
    rest.swap(pending);
    return rest;
}

} // namespace vesk::updater
