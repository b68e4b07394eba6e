#pragma once

#include <string>
#include <vector>

namespace vesk::updater {

// The places where the console updater may live, relative to this program's directory (given without a
// trailing backslash), in the order they are tried. Spelled exactly as they are tested and logged.
std::vector<std::string> consoleUpdaterCandidates(const std::string& executableDirectory);

// The console updater's command line: the quoted path and " --verbose", then " --channel " and the channel
// (unquoted) when there is one, then " --manifest " and the quoted location when a location is given that
// is not an http:// or https:// URL (those are left for the console updater to find itself).
std::string buildConsoleUpdaterCommandLine(const std::string& updaterPath, const std::string& channel,
                                           const std::string& manifestLocation);

} // namespace vesk::updater
