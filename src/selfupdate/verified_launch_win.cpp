#include "selfupdate/verified_launch_win.h"

#include "core/logger.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "selfupdate/self_update_text.h"

#include <mutex>

namespace vesk::updater {

namespace {

constexpr DWORD kReadBufferBytes = 65536;
constexpr DWORD kSha256Bytes = 32;

std::string hashThroughHandle(HANDLE file) {
    CryptProv provider;
    CryptHash hash;
    if (!::CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !::CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.put())) {
        return {};
    }
    std::string buffer(kReadBufferBytes, '\0');
    for (;;) {
        DWORD count = 0;
        if (!::ReadFile(file, buffer.data(), kReadBufferBytes, &count, nullptr)) {
            return {}; // a digest of part of the file must never pass for the file's
        }
        if (count == 0) {
            break;
        }
        if (!::CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(buffer.data()), count, 0)) {
            return {};
        }
    }
    BYTE digest[kSha256Bytes] = {};
    DWORD length = sizeof(digest);
    if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0) || length != kSha256Bytes) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const BYTE byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    return text;
}

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
    pinned.sha256 = hashThroughHandle(pinned.handle.get());
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
