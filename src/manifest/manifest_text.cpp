#include "manifest/manifest_text.h"

#include <algorithm>
#include <cstddef>
#include <vector>

// The manifest is read as text, not parsed: a manifest that follows the publishing rules is read
// correctly, and whatever else arrives from the server is still read without leaving the text.
// Every access below is bounded by the view's size; nothing relies on a terminating NUL.

namespace vesk::updater {

namespace {

constexpr std::string_view kFilesKey = "\"files\":";

std::string decimal(std::size_t value) {
    return std::to_string(value);
}

// Counts open and close brackets from text[open] (which holds the opening one) and returns the offset
// one past the bracket that brings the depth back to zero, or text.size() when none does. Brackets
// inside strings count like any other: the publishing rules keep them out of the values read here.
std::size_t matchBrackets(std::string_view text, std::size_t open, char opening, char closing, bool& closed) {
    long long depth = 0;
    std::size_t pos = open;
    closed = false;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == opening) {
            ++depth;
        } else if (c == closing) {
            --depth;
        }
        ++pos;
        if (depth == 0) {
            closed = true;
            break;
        }
    }
    return pos;
}

// What a backslash followed by `escaped` stands for inside a string value; other escapes (\u, \b,
// \f and anything unknown) are kept as written.
void appendEscape(std::string& out, char escaped) {
    switch (escaped) {
    case '"':
        out += '"';
        break;
    case '\\':
        out += '\\';
        break;
    case '/':
        out += '/';
        break;
    case 'n':
        out += '\n';
        break;
    case 'r':
        out += '\r';
        break;
    case 't':
        out += '\t';
        break;
    default:
        out += '\\';
        out += escaped;
        break;
    }
}

bool isNumberCharacter(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '-';
}

} // namespace

std::string ManifestText::findFileObject(std::string_view text, std::string_view fileName,
                                         const ManifestLogSink& log, bool& filesArrayDumped) {
    const auto debug = [&log](const std::string& message) {
        if (log) {
            log("DEBUG", message);
        }
    };
    const auto info = [&log](const std::string& message) {
        if (log) {
            log("INFO", message);
        }
    };
    const std::string name(fileName);

    debug("Searching for file: " + name);

    std::vector<std::size_t> occurrences;
    for (std::size_t hit = text.find(kFilesKey); hit != std::string_view::npos;
         hit = text.find(kFilesKey, hit + kFilesKey.size())) {
        occurrences.push_back(hit);
    }
    debug("Found " + decimal(occurrences.size()) + " 'files' arrays");
    if (occurrences.empty()) {
        debug("No 'files' key found in manifest object at all");
        return {};
    }

    // Nested file lists may repeat the key; the widest array is the release's own list. Ties keep the
    // first in the text.
    std::size_t bestSpan = 0;
    std::size_t bestPosition = 0;
    for (const std::size_t occurrence : occurrences) {
        const std::size_t open = text.find('[', occurrence);
        if (open == std::string_view::npos) {
            continue;
        }
        bool closed = false;
        const std::size_t reached = matchBrackets(text, open, '[', ']', closed);
        const std::size_t span = reached - open - 1;
        debug("Files array at pos " + decimal(occurrence) + " has size: " + decimal(span) + " bytes");
        if (span > bestSpan) {
            bestSpan = span;
            bestPosition = occurrence;
        }
    }
    if (bestSpan == 0) {
        debug("No valid files arrays found");
        return {};
    }
    debug("Using files array at position " + decimal(bestPosition) + " (size: " + decimal(bestSpan) +
          " bytes)");

    const std::size_t open = text.find('[', bestPosition);
    if (open == std::string_view::npos) {
        debug("Files array opening bracket not found");
        return {};
    }
    bool closed = false;
    const std::size_t end = matchBrackets(text, open, '[', ']', closed);
    if (!closed) {
        debug("Files array closing bracket not found");
        return {};
    }
    debug("Files array found: position " + decimal(open) + " to " + decimal(end - 1));

    // From just after "[" through the matching "]" inclusive.
    const std::string_view content = text.substr(open + 1, end - open - 1);
    debug("Files array content size: " + decimal(content.size()) + " bytes");

    if (!filesArrayDumped) {
        info("=== FULL FILES ARRAY DUMP (first time only) ===");
        info("Files array content: " + std::string(content));
        info("=== END FILES ARRAY DUMP ===");
        filesArrayDumped = true;
    }

    // The quotes on both sides keep "Updater.exe" from matching "VESK_Updater.exe" and a file name
    // that is merely the value of some other key.
    const std::string needles[3] = {
        "\"name\": \"" + name + "\"",
        "\"name\":  \"" + name + "\"",
        "\"name\":\"" + name + "\"",
    };
    debug("Searching for needles: [" + needles[0] + "] or [" + needles[1] + "] or [" + needles[2] + "]");

    std::size_t hit = std::string_view::npos;
    for (const std::string& needle : needles) {
        hit = content.find(needle);
        if (hit != std::string_view::npos) {
            break;
        }
    }
    if (hit == std::string_view::npos) {
        debug("File name not found in files array with any needle variant");
        return {};
    }
    debug("Found file name at position: " + decimal(hit));

    // Entries are flat objects, so the nearest braces around the name delimit the entry.
    const std::size_t braceOpen = content.rfind('{', hit);
    if (braceOpen == std::string_view::npos) {
        debug("Could not find opening brace for file object");
        return {};
    }
    const std::size_t braceClose = content.find('}', hit);
    if (braceClose == std::string_view::npos) {
        debug("Could not find closing brace for file object");
        return {};
    }

    std::string entry(content.substr(braceOpen, braceClose - braceOpen + 1));
    debug("Extracted file object (" + decimal(entry.size()) +
          " bytes): " + entry.substr(0, std::min<std::size_t>(200, entry.size())) + "...");
    return entry;
}

std::string ManifestText::extractValue(const std::string& objectText, const std::string& key) {
    return extractManifestValue(objectText, key);
}

std::string extractManifestValue(std::string_view text, std::string_view key) {
    std::string needle;
    needle.reserve(key.size() + 3);
    needle += '"';
    needle += key;
    needle += "\":";

    const std::size_t hit = text.find(needle);
    if (hit == std::string_view::npos) {
        return {};
    }
    std::size_t pos = hit + needle.size();
    // Only blanks and tabs may stand between the colon and the value; a line break means "no value".
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
        ++pos;
    }
    if (pos >= text.size()) {
        return {};
    }

    const char first = text[pos];
    if (first == '"') {
        std::string value;
        for (++pos; pos < text.size() && text[pos] != '"'; ++pos) {
            if (text[pos] == '\\' && pos + 1 < text.size()) {
                ++pos;
                appendEscape(value, text[pos]);
            } else {
                value += text[pos];
            }
        }
        return value;
    }
    if (first == '{' || first == '[') {
        bool closed = false;
        const std::size_t end = matchBrackets(text, pos, first, first == '{' ? '}' : ']', closed);
        return std::string(text.substr(pos, end - pos));
    }
    std::size_t end = pos;
    while (end < text.size() && isNumberCharacter(text[end])) {
        ++end;
    }
    return std::string(text.substr(pos, end - pos));
}

} // namespace vesk::updater
