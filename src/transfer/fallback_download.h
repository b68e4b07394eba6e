#pragma once

#include <string>
#include <vector>

namespace vesk::updater {

// Fetches one file trying each base URL in turn, the ZIP archive of the file first, then the plain file.
// Every candidate URL is appended to attemptedUrls before it is tried. On true, localPath names a
// temporary file that the caller now owns (moves or deletes).
bool downloadWithFallback(const std::vector<std::string>& baseUrls, const std::string& location,
                          const std::string& wantedName, std::string& localPath,
                          std::vector<std::string>& attemptedUrls);

// One line per URL: "  - " + url + "\n"; "" for an empty list.
std::string formatAttemptList(const std::vector<std::string>& attemptedUrls);

} // namespace vesk::updater
