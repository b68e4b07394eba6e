#include "simulator_script.h"

#include <cstdlib>
#include <sstream>

namespace vesk::simulator {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseNumber(const std::string& text, std::uint64_t& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 0); // base 0: decimal, or hex with 0x
    return end != nullptr && *end == '\0';
}

} // namespace

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char next = text[++i];
        switch (next) {
        case 'r':
            out.push_back('\r');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case '0':
            out.push_back('\0');
            break;
        case '\\':
            out.push_back('\\');
            break;
        case 'x':
            if (i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
                out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
                i += 2;
                break;
            }
            [[fallthrough]];
        default:
            out.push_back('\\');
            out.push_back(next);
        }
    }
    return out;
}

Script parseScript(const std::string& text) {
    Script script;
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        if (raw.empty() || raw[0] == '#') {
            continue;
        }
        const size_t space = raw.find(' ');
        const std::string word = raw.substr(0, space);
        const std::string argument = space == std::string::npos ? "" : raw.substr(space + 1);
        Step step;
        bool ok = true;
        if (word == "line") {
            step.kind = Step::Kind::Write;
            step.bytes = argument + "\r\n";
        } else if (word == "write") {
            step.kind = Step::Kind::Write;
            step.bytes = unescape(argument);
        } else if (word == "chunk") {
            step.kind = Step::Kind::Chunk;
            std::string size = argument;
            const size_t sizeEnd = argument.find(' ');
            if (sizeEnd != std::string::npos) {
                size = argument.substr(0, sizeEnd);
                step.syncEachChunk = argument.substr(sizeEnd + 1) == "sync";
                ok = step.syncEachChunk;
            }
            ok = ok && parseNumber(size, step.number);
        } else if (word == "sync") {
            step.kind = Step::Kind::Sync;
        } else if (word == "stream") {
            step.kind = Step::Kind::Stream;
            ok = argument == "out" || argument == "err";
            step.number = argument == "err" ? 1 : 0;
        } else if (word == "sleep") {
            step.kind = Step::Kind::Sleep;
            ok = parseNumber(argument, step.number);
        } else if (word == "bulk") {
            step.kind = Step::Kind::Bulk;
            const size_t sizeEnd = argument.find(' ');
            ok = parseNumber(argument.substr(0, sizeEnd), step.number);
            if (sizeEnd != std::string::npos) {
                step.bytes = unescape(argument.substr(sizeEnd + 1));
                ok = ok && !step.bytes.empty();
            }
        } else if (word == "hang") {
            step.kind = Step::Kind::Hang;
        } else if (word == "exit") {
            step.kind = Step::Kind::Exit;
            ok = parseNumber(argument, step.number) && step.number <= 0xFFFFFFFFull;
        } else {
            ok = false;
        }
        if (!ok) {
            script.error = raw;
            return script;
        }
        script.steps.push_back(step);
    }
    return script;
}

} // namespace vesk::simulator
