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
constexpr const char* kLastTrustedReleaseValue = "LastTrustedRelease";
constexpr DWORD kRecordBufferBytes = 1024;

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

// Which file a path names right now, and the state it is in: equal identities mean the same, unchanged file
// whatever spelling, short name or link led to it.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    FILETIME written{};

    bool operator==(const FileIdentity& other) const {
        return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow &&
               sizeHigh == other.sizeHigh && sizeLow == other.sizeLow &&
               written.dwLowDateTime == other.written.dwLowDateTime &&
               written.dwHighDateTime == other.written.dwHighDateTime;
    }
};

std::optional<FileIdentity> identityOf(const std::string& path) {
    // Attributes only, sharing everything: a file others hold open is still identified.
    FileHandle file(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) {
        return std::nullopt;
    }
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                        info.nFileSizeHigh,        info.nFileSizeLow,   info.ftLastWriteTime};
}

// The running executable's hash, filled on first success, with the identity its file had when hashed. The
// lock only makes the fill safe should two threads ever download at once; the value is computed at most
// once per success. Never destroyed: a thread may still ask for it while the process ends.
struct OwnHashCache {
    std::mutex mutex;
    std::string hash;
    std::optional<FileIdentity> identity;
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
            const std::string ownPath(path, length);
            const std::optional<FileIdentity> before = identityOf(ownPath);
            cache.hash = computeFileSha256(ownPath);
            cache.identity = before && before == identityOf(ownPath) ? before : std::nullopt;
        }
    }
    return cache.hash;
}

std::optional<std::string> ownExecutableHashIfSameFile(const std::string& path) {
    const std::string hash = getOwnExecutableHash();
    std::optional<FileIdentity> own;
    {
        OwnHashCache& cache = ownHashCache();
        std::lock_guard<std::mutex> lock(cache.mutex);
        own = cache.identity;
    }
    if (hash.empty() || !own || identityOf(path) != own) {
        return std::nullopt;
    }
    return hash;
}

std::optional<std::string> readLastTrustedRelease() {
    return readRegistryText(kUpdaterKey, kLastTrustedReleaseValue, kRecordBufferBytes);
}

bool writeLastTrustedRelease(const std::string& record) {
    RegKey key;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUpdaterKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS) {
        return false;
    }
    // Stored only when it can be read back whole.
    if (record.size() + 1 >= kRecordBufferBytes) {
        return false;
    }
    return ::RegSetValueExA(key.get(), kLastTrustedReleaseValue, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(record.c_str()),
                            static_cast<DWORD>(record.size() + 1)) == ERROR_SUCCESS;
}

} // namespace vesk::updater
