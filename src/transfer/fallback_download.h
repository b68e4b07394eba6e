#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vesk::updater {

// Fetches one file trying each base URL in turn, the ZIP archive of the file first, then the plain file.
// Every candidate URL is appended to attemptedUrls before it is tried. On true, localPath names a
// temporary file that the caller now owns (moves or deletes).
bool downloadWithFallback(const std::vector<std::string>& baseUrls, const std::string& location,
                          const std::string& wantedName, std::string& localPath,
                          std::vector<std::string>& attemptedUrls);

// The replaceable steps of downloadWithFallback. An empty member means the program's own step.
struct FallbackDownloadSteps {
    // Unpacks the archive at archivePath into the existing folder directory; true on success.
    std::function<bool(const std::string& archivePath, const std::string& directory)> unpack;
    // Told about each temporary file or folder that could not be removed. By default a "WARNING"
    // log line names it; the download's result does not change either way.
    std::function<void(const std::string& path)> reportLeftover;
};

// downloadWithFallback with some of its steps replaced.
bool downloadWithFallback(const std::vector<std::string>& baseUrls, const std::string& location,
                          const std::string& wantedName, std::string& localPath,
                          std::vector<std::string>& attemptedUrls, const FallbackDownloadSteps& steps);

// One line per URL: "  - " + url + "\n"; "" for an empty list.
std::string formatAttemptList(const std::vector<std::string>& attemptedUrls);

} // namespace vesk::updater
