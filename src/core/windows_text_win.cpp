#include "core/windows_text_win.h"

#include "core/handles_win.h"
#include "core/privilege.h"
#include "core/wide_text.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace vesk::updater {

std::wstring pathForWindows(const std::string& utf8Path) {
    std::wstring wide = widen(utf8Path);
    if (wide.size() < kLongPathFrom || wide.rfind(L"\\\\?\\", 0) == 0) {
        return wide;
    }
    const std::wstring full = readGrowing([&wide](wchar_t* buffer, unsigned long room) {
        return ::GetFullPathNameW(wide.c_str(), room, buffer, nullptr);
    });
    return extendedLengthPath(full.empty() ? wide : full);
}

bool canStartProgramAt(const std::string& utf8Path) {
    return widen(utf8Path).size() < MAX_PATH;
}

std::string runningProgramPath() {
    return narrow(readGrowing(
        [](wchar_t* buffer, unsigned long room) { return ::GetModuleFileNameW(nullptr, buffer, room); }));
}

std::string runningProgramFolder() {
    std::string path = runningProgramPath();
    const std::size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos) {
        return {};
    }
    path.erase(separator);
    return path;
}

std::string temporaryFolder() {
    std::wstring folder =
        readGrowing([](wchar_t* buffer, unsigned long room) { return ::GetTempPathW(room, buffer); });
    // GetTempPathW gives up on a folder past MAX_PATH; the variables it reads still name it, whole.
    for (const wchar_t* variable : {L"TMP", L"TEMP"}) {
        if (!folder.empty()) {
            break;
        }
        const std::wstring value = readGrowing([variable](wchar_t* buffer, unsigned long room) {
            return ::GetEnvironmentVariableW(variable, buffer, room);
        });
        if (!value.empty()) {
            folder = readGrowing([&value](wchar_t* buffer, unsigned long room) {
                return ::GetFullPathNameW(value.c_str(), room, buffer, nullptr);
            });
            if (!folder.empty() && folder.back() != L'\\') {
                folder.push_back(L'\\');
            }
        }
    }
    return narrow(folder);
}

std::string codePageToUtf8(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int size = static_cast<int>(bytes.size());
    const int needed = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, wide.data(), needed);
    wide.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return narrow(wide);
}

std::optional<std::string> readRegistryText(HKEY root, const std::string& subkey, const std::string& value,
                                            std::size_t maxBytes) {
    RegKey key;
    // The program is a 64-bit process: without a view flag this is the native 64-bit registry.
    if (::RegOpenKeyExW(root, widen(subkey).c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::wstring name = widen(value);
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    // UTF-16 needs at most two bytes for every byte its UTF-8 form has: a longer value is refused unread.
    if (size > 2 * maxBytes + 2) {
        return std::nullopt;
    }
    std::vector<BYTE> bytes(size + 2, 0);
    DWORD got = size;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, bytes.data(), &got) != ERROR_SUCCESS ||
        got > size) {
        return std::nullopt;
    }
    std::string text;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        std::wstring wide(got / sizeof(wchar_t), L'\0');
        std::copy(bytes.data(), bytes.data() + wide.size() * sizeof(wchar_t),
                  reinterpret_cast<BYTE*>(wide.data()));
        wide.resize(wide.find(L'\0') == std::wstring::npos ? wide.size() : wide.find(L'\0'));
        text = narrow(wide);
    } else {
        std::string raw(reinterpret_cast<const char*>(bytes.data()), got);
        raw.resize(raw.find('\0') == std::string::npos ? raw.size() : raw.find('\0'));
        text = isValidUtf8(raw) ? raw : codePageToUtf8(raw);
    }
    if (text.size() >= maxBytes) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> createTemporaryFile(const std::string& folder, const std::string& prefix,
                                               unsigned long& error) {
    error = ERROR_PATH_NOT_FOUND;
    if (folder.empty()) {
        return std::nullopt;
    }
    const std::string base =
        (folder.back() == '\\' || folder.back() == '/') ? folder + prefix : folder + "\\" + prefix;
    static const char digits[] = "0123456789ABCDEF";
    // Start where GetTempFileNameW would, then take the next free number.
    const unsigned start = static_cast<unsigned>(::GetTickCount() ^ ::GetCurrentProcessId()) & 0xFFFF;
    for (unsigned step = 0; step < 0x10000; ++step) {
        unsigned number = (start + step) & 0xFFFF;
        if (number == 0) {
            continue;
        }
        std::string hex;
        for (; number != 0; number >>= 4) {
            hex.insert(hex.begin(), digits[number & 0xF]);
        }
        const std::string path = base + hex + ".tmp";
        FileHandle file(::CreateFileW(pathForWindows(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            return path;
        }
        error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return std::nullopt; // the folder itself is the problem: no other name will do better
        }
    }
    return std::nullopt;
}

std::string temporaryFileFailedMessage(const std::string& folder, unsigned long error) {
    if (folder.empty()) {
        return "Could not create a temporary file: the system names no temporary folder";
    }
    return "Could not create a temporary file in " + folder + ": " + getWindowsErrorMessage(error) +
           " (error " + std::to_string(error) + ")";
}

} // namespace vesk::updater
