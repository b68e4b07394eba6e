#include "client/console_command_line.h"

namespace vesk::updater {

std::vector<std::string> consoleUpdaterCandidates(const std::string& executableDirectory) {
    return {
        executableDirectory + "\\Updater.exe",
        executableDirectory + "\\..\\bin\\Release\\Updater.exe", // beside a development build tree
        executableDirectory + "\\..\\..\\Updater.exe",
        "C:\\Program Files\\VESK\\Updater.exe",
    };
}

std::string buildConsoleUpdaterCommandLine(const std::string& updaterPath, const std::string& channel,
                                           const std::string& manifestLocation) {
    std::string commandLine = "\"" + updaterPath + "\" --verbose";
    if (!channel.empty()) {
        commandLine += " --channel " + channel;
    }
    const bool isWebUrl = manifestLocation.starts_with("http://") || manifestLocation.starts_with("https://");
    if (!manifestLocation.empty() && !isWebUrl) {
        commandLine += " --manifest \"" + manifestLocation + "\"";
    }
    return commandLine;
}

} // namespace vesk::updater
