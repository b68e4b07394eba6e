#include "integrity/file_hash.h"

#include "core/handles_win.h"
#include "core/windows_text_win.h"

namespace vesk::updater {

namespace {
// Files are streamed through this buffer, so memory use does not depend on the file's size.
constexpr DWORD kReadBufferBytes = 65536;
constexpr DWORD kSha256Bytes = 32;
} // namespace

std::string computeFileSha256(const std::string& filePath) {
    FileHandle file(::CreateFileW(pathForWindows(filePath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return {};
    }
    // A file that cannot be read to its end has no digest: "" makes the caller keep it rather than judge
    // it by part of its bytes.
    return computeHandleSha256(file.get());
}

std::string computeHandleSha256(void* fileHandle) {
    CryptProv provider;
    if (!::CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return {};
    }
    CryptHash hash;
    if (!::CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.put())) {
        return {};
    }
    BYTE buffer[kReadBufferBytes];
    for (;;) {
        DWORD count = 0;
        if (!::ReadFile(static_cast<HANDLE>(fileHandle), buffer, sizeof(buffer), &count, nullptr)) {
            return {};
        }
        if (count == 0) {
            break;
        }
        if (!::CryptHashData(hash.get(), buffer, count, 0)) {
            return {};
        }
    }

    BYTE digest[kSha256Bytes] = {};
    DWORD digestLength = sizeof(digest);
    if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &digestLength, 0) ||
        digestLength != kSha256Bytes) {
        return {};
    }
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * kSha256Bytes);
    for (const BYTE byte : digest) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0F]);
    }
    return text;
}

} // namespace vesk::updater
