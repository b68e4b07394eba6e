#include "client/output_lines.h"

#include <algorithm>

namespace vesk::updater {

namespace {

// One carriage return right before the line feed is part of the line end, unless the line was cut: then
// the byte before the line feed was dropped, and a carriage return that was kept lies inside the line.
std::string_view withoutLineEnd(std::string_view line, bool cut) {
    if (!cut && !line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

} // namespace

void OutputLineBuffer::keep(std::string_view part) {
    // NUL bytes are not text; dropping just them keeps everything around them.
    while (!part.empty() && !cut) {
        const std::size_t run = std::min(part.find('\0'), part.size());
        const std::size_t room = kMaxOutputLineBytes - pending.size();
        if (run > room) {
            pending.append(part.data(), room);
            cut = true;
            return;
        }
        pending.append(part.data(), run);
        part.remove_prefix(std::min(run + 1, part.size()));
    }
}

void OutputLineBuffer::feedTo(std::string_view bytes, LineSink sink) {
    while (!bytes.empty()) {
        const std::size_t feed = bytes.find('\n');
        if (feed == std::string_view::npos) {
            keep(bytes);
            return;
        }
        const std::string_view segment = bytes.substr(0, feed);
        bytes.remove_prefix(feed + 1);
        if (pending.empty() && !cut && segment.find('\0') == std::string_view::npos) {
            // The whole line is in this piece: hand it on where it lies.
            const bool tooLong = segment.size() > kMaxOutputLineBytes;
            sink.call(sink.target, withoutLineEnd(segment.substr(0, kMaxOutputLineBytes), tooLong));
            continue;
        }
        keep(segment);
        sink.call(sink.target, withoutLineEnd(pending, cut));
        pending.clear(); // keeps its capacity for the next line that arrives in pieces
        cut = false;
    }
}

std::vector<std::string> OutputLineBuffer::append(std::string_view bytes) {
    std::vector<std::string> lines;
    feed(bytes, [&lines](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

std::string OutputLineBuffer::takeRest() {
    std::string rest;
    rest.swap(pending);
    cut = false;
    return rest;
}

} // namespace vesk::updater
