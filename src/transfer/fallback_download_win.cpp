#include "transfer/fallback_download.h"

#include "core/handles_win.h"
#include "core/logger.h"
#include "core/run_folder.h"
#include "transfer/file_tree_win.h"
#include "transfer/http_download.h"
#include "transfer/url_candidates.h"
#include "transfer/zip_extract_win.h"
#include "core/windows_text_win.h"

namespace vesk::updater {

namespace {

constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;

// Creates a new, empty, uniquely named "vesk....tmp" file in tempDir. A failure is logged with its cause:
// without a temporary file nothing can be downloaded, and the log must say why.
bool createTempFile(const std::string& tempDir, std::string& path) {
    unsigned long error = 0;
    const std::optional<std::string> created = createTemporaryFile(tempDir, "vesk", error);
    if (!created) {
        logger().error(temporaryFileFailedMessage(tempDir, error));
        return false;
    }
    path = *created;
    return true;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class Cleaner {
public:
    explicit Cleaner(const FallbackDownloadSteps& steps) : steps(steps) {}

    void removeFile(const std::string& path) const {
        if (!::DeleteFileW(pathForWindows(path).c_str()) &&
            ::GetFileAttributesW(pathForWindows(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
            report(path);
        }
    }

    void removeTree(const std::string& path) const {
        if (!removeDirectoryTree(path)) {
            report(path);
        }
    }

private:
    void report(const std::string& path) const {
        if (steps.reportLeftover) {
            steps.reportLeftover(path);
        } else {
            logger().warning("Could not remove temporary download data: " + path);
        }
    }

    const FallbackDownloadSteps& steps;
};

// The default unpacking: no file may outgrow the wanted file's known size, nor the whole tree the ceiling.
bool unpackWithinLimits(const std::string& archivePath, const std::string& url, const std::string& directory,
                        const FallbackDownloadSteps& steps) {
    ZipLimits limits;
    limits.maxTotalSize = steps.sizeCeiling;
    limits.maxEntrySize = steps.expectedSize.value_or(steps.sizeCeiling);
    const ZipStatus status = extractArchive(archivePath, directory, limits);
    if (status == ZipStatus::EntryTooLarge) {
        const SizeLimit limit = steps.expectedSize ? SizeLimit::expected(*steps.expectedSize)
                                                   : SizeLimit::ceiling(steps.sizeCeiling);
        logger().error(archiveSizeExceededMessage(limit, url));
    } else if (status == ZipStatus::TooLarge) {
        logger().error(archiveSizeExceededMessage(SizeLimit::ceiling(steps.sizeCeiling), url));
    }
    return status == ZipStatus::Ok;
}

// Unpacks the downloaded archive (which is deleted here) and takes wantedName out of it into a new
// temporary file. Nothing but that file is left behind.
bool takeFileFromArchive(const std::string& archivePath, const std::string& url, const std::string& tempDir,
                         const std::string& wantedName, const FallbackDownloadSteps& steps,
                         const Cleaner& cleaner, std::string& resultPath) {
    std::string directory;
    const bool haveDirectory = createTempFile(tempDir, directory) &&
                               ::DeleteFileW(pathForWindows(directory).c_str()) &&
                               ::CreateDirectoryW(pathForWindows(directory).c_str(), nullptr);
    if (!haveDirectory) {
        if (!directory.empty()) {
            cleaner.removeFile(directory);
        }
        cleaner.removeFile(archivePath);
        return false;
    }
    const bool unpacked = steps.unpack ? steps.unpack(archivePath, directory)
                                       : unpackWithinLimits(archivePath, url, directory, steps);
    cleaner.removeFile(archivePath);
    if (!unpacked) {
        cleaner.removeTree(directory);
        return false;
    }
    const std::string found = findFileInTree(directory, wantedName);
    if (found.empty()) {
        cleaner.removeTree(directory);
        return false;
    }
    // A move that fails would hand back an empty file as if it were the download: try the next
    // candidate instead.
    std::string result;
    if (!createTempFile(tempDir, result)) {
        cleaner.removeTree(directory);
        return false;
    }
    if (!::MoveFileExW(pathForWindows(found).c_str(), pathForWindows(result).c_str(), kMoveFlags)) {
        cleaner.removeFile(result);
        cleaner.removeTree(directory);
        return false;
    }
    cleaner.removeTree(directory);
    resultPath = result;
    return true;
}

} // namespace

bool downloadWithFallback(const std::vector<std::string>& baseUrls, const std::string& location,
                          const std::string& wantedName, std::string& localPath,
                          std::vector<std::string>& attemptedUrls) {
    return downloadWithFallback(baseUrls, location, wantedName, localPath, attemptedUrls,
                                FallbackDownloadSteps{});
}

bool downloadWithFallback(const std::vector<std::string>& baseUrls, const std::string& location,
                          const std::string& wantedName, std::string& localPath,
                          std::vector<std::string>& attemptedUrls, const FallbackDownloadSteps& steps) {
    UrlCandidates candidates(baseUrls, true);
    candidates.reset(location, wantedName);

    // Without a temporary folder every candidate fails, but each is still listed for the caller's message.
    const std::string tempDir = runTemporaryFolder();
    const Cleaner cleaner(steps);

    std::string url;
    bool isArchive = false;
    while (candidates.next(url, isArchive)) {
        attemptedUrls.push_back(url);
        std::string downloadPath;
        if (!createTempFile(tempDir, downloadPath)) {
            continue;
        }
        const bool archive = isArchive || endsWith(url, ".zip");
        // An archive's own size says little about the file inside: it is bounded by the ceiling, and its
        // entries by the expected size while unpacking.
        const SizeLimit limit = !archive && steps.expectedSize ? SizeLimit::expected(*steps.expectedSize)
                                                               : SizeLimit::ceiling(steps.sizeCeiling);
        TransferPolicy policy = steps.policy;
        if (archive && steps.expectedSize && *steps.expectedSize < steps.sizeCeiling - (1u << 20)) {
            policy.deadlineSize = *steps.expectedSize + (1u << 20);
        }
        if (!HttpDownloader::downloadToFile(widenUrl(url), downloadPath, limit, policy)) {
            cleaner.removeFile(downloadPath);
            continue;
        }
        std::string resultPath = downloadPath;
        if (archive &&
            !takeFileFromArchive(downloadPath, url, tempDir, wantedName, steps, cleaner, resultPath)) {
            continue;
        }
        if (steps.acceptCandidate && !steps.acceptCandidate(resultPath)) {
            cleaner.removeFile(resultPath);
            continue;
        }
        localPath = resultPath;
        return true;
    }
    return false;
}

} // namespace vesk::updater
