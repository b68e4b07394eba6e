#include "selfupdate/download_checks_win.h"

#include "core/logger.h"
#include "integrity/file_hash.h"
#include "selfupdate/file_checks_win.h"
#include "selfupdate/self_update_text.h"

namespace vesk::updater {

namespace {

const std::string kNoDigestToVerify = "the signed manifest gives no sha256 to verify it against";

} // namespace

// Why a downloaded file does not match its entry; "" when it does (or the entry gives nothing to check and
// no digest is required).
std::string downloadRejection(const std::string& path, const FileEntryValues& values, bool requireDigest) {
    if (!values.size.empty()) {
        const std::optional<std::uint64_t> expectedSize = parseSizeText(values.size);
        std::uint32_t sizeError = 0;
        const std::optional<std::uint64_t> downloadedSize =
            expectedSize ? readFileSize(path, sizeError) : std::nullopt;
        if (!expectedSize || !downloadedSize) {
            return "size verification exception";
        }
        if (*expectedSize != *downloadedSize) {
            return downloadedSizeMismatchText(values.size, *downloadedSize);
        }
    }
    if (values.sha256.empty() && requireDigest) {
        // The signature vouches for the entry, and only a digest carries that over to the bytes.
        return kNoDigestToVerify;
    }
    if (!values.sha256.empty()) {
        const std::string downloadedDigest = computeFileSha256(path);
        if (downloadedDigest.empty()) {
            return "hash calculation failed";
        }
        if (!digestsEqual(values.sha256, downloadedDigest)) {
            return downloadedHashMismatchText(values.sha256, downloadedDigest);
        }
    }
    return {};
}

FallbackDownloadSteps candidateChecks(const std::string& name, const FileEntryValues& values, bool strict) {
    FallbackDownloadSteps steps;
    if (!values.size.empty()) {
        steps.expectedSize = parseSizeText(values.size);
    }
    if (strict) {
        steps.acceptCandidate = [name, values](const std::string& path) {
            const std::string rejection = downloadRejection(path, values, true);
            if (!rejection.empty()) {
                logger().warning("Rejected download of " + name + ": " + rejection);
            }
            return rejection.empty();
        };
    }
    return steps;
}

} // namespace vesk::updater
