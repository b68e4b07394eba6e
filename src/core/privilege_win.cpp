#include "core/privilege.h"

#include "core/handles_win.h"
#include "core/privilege_text.h"

#include <shellapi.h>

#include <climits>

namespace vesk::updater {

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
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    // A path that filled the whole buffer was cut off; starting it would start the wrong file.
    if (length == 0 || length >= MAX_PATH) {
        ElevationResult result;
        result.message = "Failed to get current executable path";
        return result;
    }
    return requestElevation(std::string(path, length), joinElevationParameters(argc, argv), true);
}

std::string getWindowsErrorMessage(std::uint32_t code) {
    LPSTR text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0, nullptr);
    LocalMemory owner(text);
    if (length == 0 || text == nullptr) {
        return unknownErrorMessage(code);
    }
    return trimTrailingLineBreaks(std::string(text, length));
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
