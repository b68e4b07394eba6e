#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace vesk::updater {

// The time stamp that opens every log line: "[YYYY-MM-DD HH:MM:SS]" in local time.
std::string formatLogStamp(const std::tm& localTime);

// One whole log line without its line end: stamp, " [", level, "] [] ", message.
std::string formatLogLine(const std::string& stamp, const std::string& level, const std::string& message);

// How much of one outside value a log line carries.
constexpr std::size_t kLogValueLimit = 512;

// A value from outside the program (server, manifest, registry, another program) made safe to put into a
// log line: control characters, DEL and the Unicode line and paragraph separators are written as escapes
// ("\n", "\r", "\t", "\xNN", "\u2028"), so the value can never start a line of its own; a value longer than
// limit bytes is cut at a character boundary and ends in "...[cut, N bytes]". Backslashes stay as they are:
// Windows paths are full of them. Inline so every program that shares the log texts gets it without a
// further source file.
inline std::string logValue(std::string_view value, std::size_t limit = kLogValueLimit) {
    std::string shown;
    shown.reserve(value.size() < limit ? value.size() : limit);
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t i = 0;
    for (; i < value.size() && shown.size() < limit; ++i) {
        const auto byte = static_cast<unsigned char>(value[i]);
        if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\r') {
            shown += "\\r";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xf];
        } else if (byte == 0xc2 && i + 1 < value.size() && static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(value[i + 1]) <= 0x9f) {
            // A C1 control character (NEL among them) encoded in UTF-8.
            shown += "\\u00";
            shown += kHex[static_cast<unsigned char>(value[i + 1]) >> 4];
            shown += kHex[static_cast<unsigned char>(value[i + 1]) & 0xf];
            ++i;
        } else if (byte == 0xe2 && value.substr(i, 3) == "\xe2\x80\xa8") {
            shown += "\\u2028";
            i += 2;
        } else if (byte == 0xe2 && value.substr(i, 3) == "\xe2\x80\xa9") {
            shown += "\\u2029";
            i += 2;
        } else {
            shown += static_cast<char>(byte);
        }
    }
    if (i < value.size()) {
        // Never end inside a UTF-8 sequence: drop continuation bytes and the lead byte they belong to.
        while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xc0) == 0x80) {
            shown.pop_back();
        }
        if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xc0) {
            shown.pop_back();
        }
        shown += "...[cut, " + std::to_string(value.size()) + " bytes]";
    }
    return shown;
}

// The longest message the log writes; longer ones are cut (a safety net, see logSafeMessage).
constexpr std::size_t kLogMessageLimit = 64 * 1024;

// A whole message as the log file receives it: the program's fixed texts pass byte for byte, but a control
// character that a value from outside slipped into a message is escaped as logValue does. The one line
// break the program's own texts use, a break followed by the two-space indent of a list item (or ending the
// message), is kept. A message longer than kLogMessageLimit is cut with the same marker.
std::string logSafeMessage(std::string_view message);

} // namespace vesk::updater
