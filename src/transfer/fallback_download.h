#pragma once

#include "transfer/transfer_policy.h"

#include <cstdint>
#include <functional>
#include <optional>
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
    // Size of the wanted file when known: a plain download that grows past it fails at once, and so does
    // unpacking an archive with any file larger than it. Unknown, both stop at sizeCeiling.
    std::optional<std::uint64_t> expectedSize;
    // When set, false = candidate failed: its file is removed and the next candidate is tried.
    std::function<bool(const std::string& localPath)> acceptCandidate;
    TransferPolicy policy = TransferPolicy::forThisProgram();
    // The bound where no size is known: an archive download, or any download without expectedSize.
    std::uint64_t sizeCeiling = kDownloadSizeCeiling;
};

// downloadWithFallback with some of its steps replaced.
bool downloadWithFallback(const std::vector<std::string>& baseUrls, const std::string& location,
                          const std::string& wantedName, std::string& localPath,
                          std::vector<std::string>& attemptedUrls, const FallbackDownloadSteps& steps);

// One line per URL: "  - " + url + "\n"; "" for an empty list.
std::string formatAttemptList(const std::vector<std::string>& attemptedUrls);

} // namespace vesk::updater
