#include "core/privilege.h"

#include "core/handles_win.h"
#include "core/privilege_text.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"

#include <shellapi.h>

#include <climits>

namespace vesk::updater {

namespace {

// The Windows error code for a failed ShellExecuteEx result code (SE_ERR_*).
DWORD shellResultToError(HINSTANCE shellResult) {
    switch (static_cast<INT_PTR>(reinterpret_cast<INT_PTR>(shellResult))) {
    case SE_ERR_FNF:
        return ERROR_FILE_NOT_FOUND;
    case SE_ERR_PNF:
        return ERROR_PATH_NOT_FOUND;
    case SE_ERR_ACCESSDENIED:
        return ERROR_ACCESS_DENIED;
    case SE_ERR_OOM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SE_ERR_SHARE:
        return ERROR_SHARING_VIOLATION;
    case SE_ERR_DLLNOTFOUND:
        return ERROR_DLL_NOT_FOUND;
    case SE_ERR_NOASSOC:
    case SE_ERR_ASSOCINCOMPLETE:
        return ERROR_NO_ASSOCIATION;
    case SE_ERR_DDETIMEOUT:
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDEBUSY:
        return ERROR_DDE_FAIL;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

bool isProcessElevated() {
    KernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD returned = 0;
    const BOOL queried =
        ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &returned);
    return queried && elevation.TokenIsElevated == 1;
}

ElevationResult launchElevated(const std::string& file, const std::string& parameters, bool wait) {
    ElevationResult result;
    const std::wstring wideFile = toWide(file);
    const std::wstring wideParameters = toWide(parameters);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWNORMAL;

    if (!::ShellExecuteExW(&info)) {
        result.errorCode = ::GetLastError();
        if (result.errorCode == 0) {
            // The shell's own error dialog can reset the thread's last error; the shell's result code
            // still says what went wrong.
            result.errorCode = shellResultToError(info.hInstApp);
        }
        result.success = false;
        if (result.errorCode == ERROR_CANCELLED) {
            result.message = "User cancelled UAC elevation prompt";
        } else {
            result.message = "Failed to request elevation: " + getWindowsErrorMessage(result.errorCode);
        }
        return result;
    }

    KernelHandle process(info.hProcess);
    result.success = true;
    result.message = "Elevation request successful";
    if (wait && process) {
        if (::WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0) {
            DWORD exitCode = 0;
            if (::GetExitCodeProcess(process.get(), &exitCode)) {
                result.exitCode = exitCode;
            }
        }
        return result; // the handle closes here; the result carries none
    }
    if (!wait) {
        result.processHandle = process.release();
    }
    return result;
}

ElevationResult requestElevation(const std::string& file, const std::string& parameters, bool wait) {
    if (isProcessElevated()) {
        ElevationResult result;
        result.success = true;
        result.alreadyElevated = true;
        result.message = "Process is already elevated";
        return result;
    }
    return launchElevated(file, parameters, wait);
}

ElevationResult restartElevated(int argc, const char* const argv[]) {
    // Read whole, however long: a path cut short would start the wrong file.
    const std::string path = runningProgramPath();
    if (path.empty()) {
        ElevationResult result;
        result.message = "Failed to get current executable path";
        return result;
    }
    return requestElevation(path, joinElevationParameters(argc, argv), true);
}

std::string getWindowsErrorMessage(std::uint32_t code) {
    LPWSTR text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    LocalMemory owner(text);
    if (length == 0 || text == nullptr) {
        return unknownErrorMessage(code);
    }
    return trimTrailingLineBreaks(narrow(std::wstring_view(text, length)));
}

std::wstring toWide(const std::string& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), needed);
    if (written <= 0) {
        return {};
    }
    wide.resize(static_cast<size_t>(written));
    return wide;
}

} // namespace vesk::updater
