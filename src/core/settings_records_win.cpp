#include "core/settings_records.h"

#include "core/handles_win.h"
#include "core/wide_text.h"

#include <windows.h>

namespace vesk::updater {

namespace {

constexpr const wchar_t* kUpdaterKey = L"SOFTWARE\\VESK\\Updater";
// Records and key chains are a few kilobytes; anything far larger was not written by this program.
constexpr DWORD kMaxValueBytes = 256 * 1024;

} // namespace

StoredText readUpdaterValue(const std::string& valueName) {
    RegKey key;
    const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUpdaterKey, 0, KEY_QUERY_VALUE, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return {};
    }
    if (opened != ERROR_SUCCESS) {
        return {StoredState::Unreadable, {}};
    }
    const std::wstring name = widen(valueName);
    DWORD type = 0;
    DWORD size = 0;
    const LSTATUS probed = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (probed == ERROR_FILE_NOT_FOUND) {
        return {};
    }
    if (probed != ERROR_SUCCESS || type != REG_SZ || size > kMaxValueBytes) {
        return {StoredState::Unreadable, {}};
    }
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD read = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                           &read) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {StoredState::Unreadable, {}};
    }
    // The stored terminator (or its absence) is not part of the text.
    buffer.resize(read / sizeof(wchar_t));
    while (!buffer.empty() && buffer.back() == L'\0') {
        buffer.pop_back();
    }
    if (buffer.find(L'\0') != std::wstring::npos) {
        return {StoredState::Unreadable, {}};
    }
    return {StoredState::Present, narrow(buffer)};
}

bool writeUpdaterValue(const std::string& valueName, const std::string& text) {
    const std::wstring wide = widen(text);
    const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
    if (bytes > kMaxValueBytes) {
        return false; // it could not be read back
    }
    RegKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUpdaterKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS) {
        return false;
    }
    if (::RegSetValueExW(key.get(), widen(valueName).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                         static_cast<DWORD>(bytes)) != ERROR_SUCCESS) {
        return false;
    }
    const StoredText stored = readUpdaterValue(valueName);
    return stored.state == StoredState::Present && stored.text == text;
}

} // namespace vesk::updater
