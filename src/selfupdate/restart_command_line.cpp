#include "selfupdate/restart_command_line.h"

namespace vesk::updater {

namespace {

// Only the path is quoted: it may hold spaces. The channel travels as one bare token, so the receiving
// instance reads it with the same whitespace splitting as any other option value.
std::string quotedExecutableWithMode(const std::string& executablePath, const char* mode,
                                     const std::string& channel) {
    std::string commandLine = "\"" + executablePath + "\" " + mode;
    if (!channel.empty()) {
        commandLine += " -c " + channel;
    }
    return commandLine;
}

} // namespace

std::string buildRestartStartCommandLine(const std::string& executablePath, const std::string& channel,
                                         std::uint32_t processId) {
    return quotedExecutableWithMode(executablePath, "--restart-start", channel) + " -pid " +
           std::to_string(processId);
}

std::string buildRestartDoneCommandLine(const std::string& executablePath, const std::string& channel) {
    return quotedExecutableWithMode(executablePath, "--restart-done", channel);
}

} // namespace vesk::updater
