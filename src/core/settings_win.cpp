#include "core/settings.h"

#include "core/build_config.h"
#include "core/handles_win.h"
#include "core/logger.h"
#include "integrity/file_hash.h"

#include <cstring>
#include <mutex>
#include <optional>

namespace vesk::updater {

namespace {

constexpr const char* kInstallKey = "SOFTWARE\\Corvanne\\VESK";
constexpr const char* kInstallValue = "InstallPath";
constexpr DWORD kInstallBufferBytes = 260;
constexpr const char* kDefaultInstallDirectory = "C:\\Program Files\\VESK";

constexpr const char* kUpdaterKey = "SOFTWARE\\VESK\\Updater";
constexpr const char* kBaseUrlsValue = "BaseUrls";
constexpr DWORD kBaseUrlsBufferBytes = 2048;

constexpr DWORD kModulePathChars = 260;

// Reads a value of any registry type as narrow text into a zero-filled buffer of bufferBytes bytes and
// returns the text up to its first NUL. Nothing when the key or value cannot be read or is larger than
// the buffer. A value that fills the buffer without a NUL in it has no room for its terminator either,
// so it is refused the same way rather than read past the buffer's end.
std::optional<std::string> readRegistryText(const char* subkey, const char* valueName, DWORD bufferBytes) {
    RegKey key;
    // The program is a 64-bit process: without a view flag this is the native 64-bit registry.
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string buffer(bufferBytes, '\0');
    DWORD size = bufferBytes;
    if (::RegQueryValueExA(key.get(), valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                           &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::size_t length = ::strnlen(buffer.data(), buffer.size());
    if (length == buffer.size()) {
        return std::nullopt;
    }
    buffer.resize(length);
    return buffer;
}

// The running executable's hash, filled on first success. The lock only makes the fill safe should two
// threads ever download at once; the value is computed at most once per success. Never destroyed: a thread
// may still ask for it while the process ends.
struct OwnHashCache {
    std::mutex mutex;
    std::string hash;
};
OwnHashCache& ownHashCache() {
    static OwnHashCache* const cache = new OwnHashCache();
    return *cache;
}

} // namespace

std::string getInstallDirectory() {
    std::string directory = readRegistryText(kInstallKey, kInstallValue, kInstallBufferBytes).value_or("");
    if (directory.empty()) {
        directory = kDefaultInstallDirectory;
        logger().warning(std::string("Could not read install directory from registry, using default: ") +
                         kDefaultInstallDirectory);
    }
    return directory;
}

std::vector<std::string> getBaseUrls() {
    std::vector<std::string> baseUrls{build_config::kDefaultBaseUrl};
    if (const std::optional<std::string> value =
            readRegistryText(kUpdaterKey, kBaseUrlsValue, kBaseUrlsBufferBytes)) {
        for (std::string& entry : splitBaseUrlsValue(*value)) {
            baseUrls.push_back(std::move(entry));
        }
    }
    return baseUrls;
}

std::string getOwnExecutableHash() {
    OwnHashCache& cache = ownHashCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.hash.empty()) {
        char path[kModulePathChars] = {};
        const DWORD length = ::GetModuleFileNameA(nullptr, path, kModulePathChars);
        // A path that filled the buffer was cut short and names some other file.
        if (length > 0 && length < kModulePathChars) {
            cache.hash = computeFileSha256(std::string(path, length));
        }
    }
    return cache.hash;
}

} // namespace vesk::updater
