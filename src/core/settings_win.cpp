#include "core/settings.h"

#include "core/build_config.h"
#include "core/handles_win.h"
#include "core/logger.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "integrity/file_hash.h"

#include <mutex>
#include <optional>

namespace vesk::updater {

namespace {

constexpr const char* kInstallKey = "SOFTWARE\\Corvanne\\VESK";
constexpr const char* kInstallValue = "InstallPath";
// As long as a Windows path can be: an install folder past 260 characters is used as it is.
constexpr DWORD kInstallBufferBytes = 32767 * 3;
constexpr const char* kDefaultInstallDirectory = "C:\\Program Files\\VESK";

constexpr const char* kUpdaterKey = "SOFTWARE\\VESK\\Updater";
constexpr const char* kBaseUrlsValue = "BaseUrls";
constexpr DWORD kBaseUrlsBufferBytes = 2048;

// Reads a value of any registry type as text shorter than bufferBytes bytes. Nothing when the key or
// value cannot be read or the text is longer.
std::optional<std::string> readRegistryText(const char* subkey, const char* valueName, DWORD bufferBytes) {
    return vesk::updater::readRegistryText(HKEY_LOCAL_MACHINE, subkey, valueName, bufferBytes);
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
    FileHandle file(::CreateFileW(pathForWindows(path).c_str(), FILE_READ_ATTRIBUTES,
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
        const std::string ownPath = runningProgramPath();
        if (!ownPath.empty()) {
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


} // namespace vesk::updater
