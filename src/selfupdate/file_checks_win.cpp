#include "selfupdate/file_checks_win.h"

#include "core/logger.h"

#include <windows.h>

#include <system_error>

namespace vesk::updater {

namespace {

// Codes that mean "there is nothing at this path", as opposed to "you may not look".
bool meansNotFound(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
        return true;
    default:
        return false;
    }
}

} // namespace

PresenceCheck checkPresence(const std::string& path) {
    PresenceCheck check;
    if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        check.presence = PathPresence::Present;
        return check;
    }
    const DWORD error = ::GetLastError();
    if (meansNotFound(error)) {
        check.presence = PathPresence::Absent;
    } else {
        check.presence = PathPresence::Unknown;
        check.error = error;
    }
    return check;
}

bool existsForUpdate(const std::string& path) {
    const PresenceCheck check = checkPresence(path);
    if (check.presence == PathPresence::Unknown) {
        logger().warning("Could not determine whether " + path + " exists (Error " +
                         std::to_string(check.error) + ": " + systemErrorText(check.error) +
                         ") - treating it as present");
    }
    return check.presence != PathPresence::Absent;
}

std::optional<std::uint64_t> readFileSize(const std::string& path, std::uint32_t& error) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
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
    if (::DeleteFileA(path.c_str())) {
        result.outcome = DeleteOutcome::Deleted;
        return result;
    }
    result.error = ::GetLastError();
    if (result.error == ERROR_FILE_NOT_FOUND || result.error == ERROR_PATH_NOT_FOUND) {
        result.outcome = DeleteOutcome::NotFound;
        return result;
    }
    result.outcome = DeleteOutcome::Failed;
    result.errorText = systemErrorText(result.error);
    return result;
}

std::string systemErrorText(std::uint32_t error) {
    std::string text = std::system_category().message(static_cast<int>(error));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

} // namespace vesk::updater
