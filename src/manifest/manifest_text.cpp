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
// \f and anything unknown) are kept as they stand in the text.
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

using LineSink = std::function<void(const std::string&)>;

// For every "[" in opens (ascending, distinct), where matchBrackets would stop, in one pass from the
// first of them: the depth before each "[" is remembered, and the "]" that brings the running depth back
// to it closes it. Open brackets waiting for their "]" have strictly rising depths, so each "]" closes at
// most the innermost one.
void matchAllBrackets(std::string_view text, const std::vector<std::size_t>& opens,
                      std::vector<std::size_t>& ends, std::vector<char>& closed) {
    ends.assign(opens.size(), text.size());
    closed.assign(opens.size(), 0);
    if (opens.empty()) {
        return;
    }
    struct Waiting {
        std::size_t index;
        long long depthBefore;
    };
    std::vector<Waiting> waiting;
    std::size_t next = 0;
    long long depth = 0;
    for (std::size_t pos = opens.front(); pos < text.size(); ++pos) {
        if (next < opens.size() && opens[next] == pos) {
            waiting.push_back({next++, depth});
        }
        const char c = text[pos];
        if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
            if (!waiting.empty() && waiting.back().depthBefore == depth) {
                ends[waiting.back().index] = pos + 1;
                closed[waiting.back().index] = 1;
                waiting.pop_back();
            }
        }
        if (waiting.empty() && next == opens.size()) {
            break;
        }
    }
}

// Steps up to the files array's content, logging each; false when there is no usable array (the last
// line logged says why).
bool locateFilesArray(std::string_view text, const LineSink& debug, std::string_view& content) {
    const FilesArrayChoice choice = chooseFilesArray(
        text,
        [&debug](std::size_t count) {
            debug("Found " + decimal(count) + " 'files' arrays");
            if (count == 0) {
                debug("No 'files' key found in manifest object at all");
            }
        },
        [&debug](std::size_t offset, std::size_t span) {
            debug("Files array at pos " + decimal(offset) + " has size: " + decimal(span) + " bytes");
        });
    if (choice.occurrences == 0) {
        return false;
    }
    if (choice.keyOffset == std::string::npos) {
        debug("No valid files arrays found");
        return false;
    }
    debug("Using files array at position " + decimal(choice.keyOffset) + " (size: " + decimal(choice.span) +
          " bytes)");
    if (!choice.closed) {
        debug("Files array closing bracket not found");
        return false;
    }
    debug("Files array found: position " + decimal(choice.open) + " to " + decimal(choice.end - 1));
    // From just after "[" through the matching "]" inclusive.
    content = text.substr(choice.open + 1, choice.end - choice.open - 1);
    debug("Files array content size: " + decimal(content.size()) + " bytes");
    return true;
}

// The quotes on both sides keep "Updater.exe" from matching "VESK_Updater.exe" and a file name that is
// merely the value of some other key. One space, two spaces, no space: the order they are tried in.
constexpr std::string_view kNamePrefixes[3] = {"\"name\": \"", "\"name\":  \"", "\"name\":\""};
constexpr std::string_view kNameKey = "\"name\":";

std::vector<std::string> needlesFor(const std::string& name, const LineSink& debug) {
    std::vector<std::string> needles;
    for (const std::string_view prefix : kNamePrefixes) {
        needles.push_back(std::string(prefix) + name + "\"");
    }
    debug("Searching for needles: [" + needles[0] + "] or [" + needles[1] + "] or [" + needles[2] + "]");
    return needles;
}

// From the name's offset in the content to the entry: entries are flat objects, so the nearest braces
// around the name delimit it.
std::string cutEntry(std::string_view content, std::size_t hit, std::size_t braceOpen, std::size_t braceClose,
                     const LineSink& debug) {
    if (hit == std::string_view::npos) {
        debug("File name not found in files array with any needle variant");
        return {};
    }
    debug("Found file name at position: " + decimal(hit));
    if (braceOpen == std::string_view::npos) {
        debug("Could not find opening brace for file object");
        return {};
    }
    if (braceClose == std::string_view::npos) {
        debug("Could not find closing brace for file object");
        return {};
    }
    std::string entry(content.substr(braceOpen, braceClose - braceOpen + 1));
    debug("Extracted file object (" + decimal(entry.size()) +
          " bytes): " + entry.substr(0, std::min<std::size_t>(200, entry.size())) + "...");
    return entry;
}

} // namespace

FilesArrayChoice chooseFilesArray(std::string_view text,
                                  const std::function<void(std::size_t count)>& counted,
                                  const std::function<void(std::size_t offset, std::size_t span)>& measured) {
    FilesArrayChoice choice;
    // Each occurrence's array starts at the first "[" at or after it. Occurrences come in text order, so
    // one forward search serves all of them: a "[" found for one serves every later one before it.
    std::vector<std::size_t> occurrences;
    std::vector<std::size_t> openOf; // index into opens, or npos
    std::vector<std::size_t> opens;
    for (std::size_t hit = text.find(kFilesKey); hit != std::string_view::npos;
         hit = text.find(kFilesKey, hit + kFilesKey.size())) {
        occurrences.push_back(hit);
        if (opens.empty() || opens.back() < hit) {
            const std::size_t open = text.find('[', hit);
            if (open == std::string_view::npos) {
                openOf.push_back(std::string::npos);
                continue;
            }
            opens.push_back(open);
        }
        openOf.push_back(opens.size() - 1);
    }
    choice.occurrences = occurrences.size();
    if (counted) {
        counted(choice.occurrences);
    }
    std::vector<std::size_t> ends;
    std::vector<char> closed;
    matchAllBrackets(text, opens, ends, closed);

    // Nested file lists may repeat the key; the widest array is the release's own list. Ties keep the
    // first in the text.
    for (std::size_t i = 0; i < occurrences.size(); ++i) {
        if (openOf[i] == std::string::npos) {
            continue;
        }
        const std::size_t open = opens[openOf[i]];
        const std::size_t span = ends[openOf[i]] - open - 1;
        if (measured) {
            measured(occurrences[i], span);
        }
        if (span > choice.span) {
            choice.span = span;
            choice.keyOffset = occurrences[i];
            choice.open = open;
            choice.end = ends[openOf[i]];
            choice.closed = closed[openOf[i]] != 0;
        }
    }
    return choice;
}

std::string ManifestText::findFileObject(std::string_view text, std::string_view fileName,
                                         const ManifestLogSink& log, bool& filesArrayDumped) {
    const LineSink debug = [&log](const std::string& message) {
        if (log) {
            log("DEBUG", message);
        }
    };
    const std::string name(fileName);
    debug("Searching for file: " + name);

    std::string_view content;
    if (!locateFilesArray(text, debug, content)) {
        return {};
    }
    if (!filesArrayDumped) {
        if (log) {
            log("INFO", "=== FULL FILES ARRAY DUMP (first time only) ===");
            log("INFO", "Files array content: " + std::string(content));
            log("INFO", "=== END FILES ARRAY DUMP ===");
        }
        filesArrayDumped = true;
    }

    std::size_t hit = std::string_view::npos;
    for (const std::string& needle : needlesFor(name, debug)) {
        hit = content.find(needle);
        if (hit != std::string_view::npos) {
            break;
        }
    }
    const std::size_t braceOpen = hit == std::string_view::npos ? hit : content.rfind('{', hit);
    const std::size_t braceClose = hit == std::string_view::npos ? hit : content.find('}', hit);
    return cutEntry(content, hit, braceOpen, braceClose, debug);
}

ManifestFilesIndex::ManifestFilesIndex(std::string_view text) {
    found_ = locateFilesArray(
        text, [this](const std::string& message) { arrayLines_.emplace_back("DEBUG", message); }, content_);
    if (!found_) {
        return;
    }
    // One pass: every "\"name\":" with the braces around it and, when one of the three spacings is
    // followed by a quoted value, the value's raw text as the key of its spacing's map.
    std::size_t lastOpen = std::string_view::npos;
    std::size_t firstUnclosed = 0;
    for (std::size_t pos = 0; pos < content_.size(); ++pos) {
        const char c = content_[pos];
        if (c == '{') {
            lastOpen = pos;
        } else if (c == '}') {
            for (; firstUnclosed < names_.size(); ++firstUnclosed) {
                names_[firstUnclosed].braceClose = pos;
            }
        } else if (c == '"' && content_.compare(pos, kNameKey.size(), kNameKey) == 0) {
            names_.push_back({pos, lastOpen, std::string_view::npos});
            for (std::size_t spacing = 0; spacing < 3; ++spacing) {
                const std::string_view prefix = kNamePrefixes[spacing];
                if (content_.compare(pos, prefix.size(), prefix) != 0) {
                    continue;
                }
                const std::size_t valueBegin = pos + prefix.size();
                const std::size_t valueEnd = content_.find('"', valueBegin);
                if (valueEnd != std::string_view::npos) {
                    bySpacing_[spacing].emplace(content_.substr(valueBegin, valueEnd - valueBegin),
                                                names_.size() - 1);
                }
            }
            pos += kNameKey.size() - 1;
        }
    }
}

std::string ManifestFilesIndex::find(std::string_view fileName, const ManifestLogSink& entryLog) const {
    if (!found_) {
        return {};
    }
    const LineSink debug = [&entryLog](const std::string& message) {
        if (entryLog) {
            entryLog("DEBUG", message);
        }
    };
    const std::string name(fileName);
    const std::vector<std::string> needles = needlesFor(name, debug);
    std::size_t hit = std::string_view::npos;
    std::size_t braceOpen = hit;
    std::size_t braceClose = hit;
    if (name.find('"') != std::string::npos) {
        // A quote inside the name would end the indexed value early; such a name is searched directly.
        for (const std::string& needle : needles) {
            hit = content_.find(needle);
            if (hit != std::string_view::npos) {
                braceOpen = content_.rfind('{', hit);
                braceClose = content_.find('}', hit);
                break;
            }
        }
    } else {
        for (const auto& map : bySpacing_) {
            const auto at = map.find(name);
            if (at != map.end()) {
                const NameAt& where = names_[at->second];
                hit = where.offset;
                braceOpen = where.braceOpen;
                braceClose = where.braceClose;
                break;
            }
        }
    }
    return cutEntry(content_, hit, braceOpen, braceClose, debug);
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
