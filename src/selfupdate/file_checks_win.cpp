#include "selfupdate/file_checks_win.h"

#include "core/logger.h"
#include "core/privilege.h"
#include "selfupdate/path_lookup_win.h"
#include "core/windows_text_win.h"

#include <windows.h>

namespace vesk::updater {

bool existsForUpdate(const std::string& path) {
    const PathLookupResult lookup = lookUpPath(path);
    if (lookup.outcome == PathLookup::Failed) {
        const auto error = static_cast<std::uint32_t>(lookup.error);
        logger().warning("Could not determine whether " + path + " exists (Error " + std::to_string(error) +
                         ": " + getWindowsErrorMessage(error) + ") - treating it as present");
    }
    return lookup.outcome != PathLookup::Missing;
}

std::optional<std::uint64_t> readFileSize(const std::string& path, std::uint32_t& error) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(pathForWindows(path).c_str(), GetFileExInfoStandard, &data)) {
        error = ::GetLastError();
        return std::nullopt;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = ERROR_ACCESS_DENIED; // a folder has no file size
        return std::nullopt;
    }
    error = 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

DeleteResult deleteFileReporting(const std::string& path) {
    DeleteResult result;
    if (::DeleteFileW(pathForWindows(path).c_str())) {
        result.outcome = DeleteOutcome::Deleted;
        return result;
    }
    result.error = ::GetLastError();
    if (result.error == ERROR_FILE_NOT_FOUND || result.error == ERROR_PATH_NOT_FOUND) {
        result.outcome = DeleteOutcome::NotFound;
        return result;
    }
    result.outcome = DeleteOutcome::Failed;
    result.errorText = getWindowsErrorMessage(result.error);
    return result;
}

} // namespace vesk::updater
