#include "app/command_line.h"

#include <algorithm>
#include <limits>
#include <sstream>

namespace vesk::updater {

std::wstring argumentsAfterProgramName(const std::wstring& commandLine) {
    std::size_t position = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        const std::size_t closing = commandLine.find(L'"', 1);
        position = closing == std::wstring::npos ? commandLine.size() : closing + 1;
    } else {
        position = std::min(commandLine.find_first_of(L" \t"), commandLine.size());
    }
    while (position < commandLine.size() &&
           (commandLine[position] == L' ' || commandLine[position] == L'\t')) {
        ++position;
    }
    return commandLine.substr(position);
}

std::vector<std::string> tokenizeCommandLine(const std::string& commandLine) {
    std::vector<std::string> tokens;
    std::istringstream stream(commandLine);
    std::string token;
    while (stream >> token) {
        tokens.push_back(token);
    }
    return tokens;
}

std::string parseChannelArgument(const std::vector<std::string>& tokens) {
    for (std::size_t index = 0; index + 1 < tokens.size(); ++index) {
        if (tokens[index] == kOptionChannelShort || tokens[index] == kOptionChannelLong) {
            const std::string& value = tokens[index + 1];
            if (!value.empty() && value.front() == '-') {
                return {};
            }
            return value;
        }
    }
    return {};
}

std::uint32_t parseProcessId(const std::string& token) {
    constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (const char c : token) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > kLimit) {
            return 0;
        }
        ++digits;
    }
    return digits == 0 ? 0 : static_cast<std::uint32_t>(value);
}

RestartStartRequest findRestartStart(const std::vector<std::string>& tokens) {
    RestartStartRequest request;
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        if (tokens[index] == kOptionRestartStart) {
            request.requested = true;
        } else if (tokens[index] == kOptionProcessId && index + 1 < tokens.size()) {
            request.processId = parseProcessId(tokens[index + 1]);
        }
    }
    return request;
}

std::size_t countToken(const std::vector<std::string>& tokens, const std::string& option) {
    return static_cast<std::size_t>(std::count(tokens.begin(), tokens.end(), option));
}

std::vector<std::string> buildRelaunchArguments(const std::vector<std::string>& tokens) {
    std::vector<std::string> arguments;
    arguments.reserve(tokens.size() + 1);
    arguments.emplace_back(kRelaunchProgramName);
    arguments.insert(arguments.end(), tokens.begin(), tokens.end());
    return arguments;
}

std::vector<std::string> buildSelfUpdateRelaunchArguments(const std::vector<std::string>& tokens) {
    std::vector<std::string> arguments = buildRelaunchArguments(tokens);
    if (countToken(arguments, kOptionProcessSelfUpdate) == 0) {
        arguments.emplace_back(kOptionProcessSelfUpdate);
    }
    return arguments;
}

} // namespace vesk::updater
