#include "selfupdate/verified_launch_win.h"

#include "core/logger.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "integrity/file_hash.h"
#include "selfupdate/self_update_text.h"

#include <mutex>

namespace vesk::updater {

namespace {

struct Remembered {
    std::mutex mutex;
    std::optional<std::string> text;
};

Remembered& remembered() {
    static Remembered* const instance = new Remembered(); // read by a thread that may outlive exit
    return *instance;
}

} // namespace

std::optional<PinnedFile> pinFile(const std::string& path) {
    // Sharing reading only: writers, renames and deletions are refused until the handle closes, while the
    // system may still open the file to run it.
    PinnedFile pinned;
    pinned.handle.reset(::CreateFileW(pathForWindows(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!pinned.handle) {
        return std::nullopt;
    }
    pinned.sha256 = computeHandleSha256(pinned.handle.get());
    if (pinned.sha256.empty()) {
        return std::nullopt;
    }
    return pinned;
}

std::optional<PinnedFile> pinMatchingFile(const std::string& path, const std::string& expectedSha256,
                                          const std::string& what) {
    if (expectedSha256.empty()) {
        logger().error("Not starting " + what + ": the signed manifest gives no sha256 for it");
        return std::nullopt;
    }
    std::optional<PinnedFile> pinned = pinFile(path);
    if (!pinned) {
        logger().error("Not starting " + what + ": " + path + " cannot be read to check it (Error " +
                       std::to_string(::GetLastError()) + ")");
        return std::nullopt;
    }
    if (!digestsEqual(expectedSha256, pinned->sha256)) {
        logger().error("Not starting " + what + ": its SHA-256 " + digestPreview(pinned->sha256) +
                       "... does not match the signed manifest's " + digestPreview(expectedSha256) + "...");
        return std::nullopt;
    }
    return pinned;
}

void rememberTrustedRelease(const std::string& signedObjectText) {
    Remembered& state = remembered();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.text = signedObjectText;
}

std::optional<std::string> rememberedTrustedRelease() {
    Remembered& state = remembered();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.text;
}

} // namespace vesk::updater
