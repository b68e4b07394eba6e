#include "support/proxy_settings.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>

namespace vesk::test {

namespace {

const wchar_t* const kConnections =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const wchar_t* const kWinHttpConnections =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

void appendDword(std::string& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
}

void appendText(std::string& bytes, const std::string& text) {
    appendDword(bytes, static_cast<std::uint32_t>(text.size()));
    bytes += text;
}

std::optional<std::string> readBinary(HKEY root, const wchar_t* key, const wchar_t* name) {
    HKEY handle = nullptr;
    if (::RegOpenKeyExW(root, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD size = 0;
    std::optional<std::string> value;
    if (::RegQueryValueExW(handle, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        std::string bytes(size, '\0');
        if (::RegQueryValueExW(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(bytes.data()), &size) ==
            ERROR_SUCCESS) {
            bytes.resize(size);
            value = bytes;
        }
    }
    ::RegCloseKey(handle);
    return value;
}

void writeBinary(HKEY root, const wchar_t* key, const wchar_t* name, const std::optional<std::string>& value) {
    HKEY handle = nullptr;
    if (::RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS) {
        return;
    }
    if (value) {
        ::RegSetValueExW(handle, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(value->data()),
                         static_cast<DWORD>(value->size()));
    } else {
        ::RegDeleteValueW(handle, name);
    }
    ::RegCloseKey(handle);
}

} // namespace

std::string connectionSettingsValue(const UserProxyConfig& config) {
    std::uint32_t flags = 1; // direct access is always allowed as well
    if (!config.proxy.empty()) {
        flags |= 2;
    }
    if (!config.scriptUrl.empty()) {
        flags |= 4;
    }
    if (config.autoDetect) {
        flags |= 8;
    }
    std::string bytes;
    appendDword(bytes, 0x46); // version
    appendDword(bytes, 1);    // change counter
    appendDword(bytes, flags);
    appendText(bytes, config.proxy);
    appendText(bytes, config.bypass);
    appendText(bytes, config.scriptUrl);
    bytes.append(32, '\0');
    return bytes;
}

ScopedUserProxy::ScopedUserProxy(const UserProxyConfig& config)
    : previous_(readBinary(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings")) {
    writeBinary(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings", connectionSettingsValue(config));
}

ScopedUserProxy::~ScopedUserProxy() {
    writeBinary(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings", previous_);
}

ScopedMachineProxy::ScopedMachineProxy(const std::string& proxy)
    : previous_(readBinary(HKEY_LOCAL_MACHINE, kWinHttpConnections, L"WinHttpSettings")) {
    std::wstring wide(proxy.begin(), proxy.end());
    WINHTTP_PROXY_INFO info{};
    info.dwAccessType = proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = proxy.empty() ? nullptr : wide.data();
    ::WinHttpSetDefaultProxyConfiguration(&info);
}

ScopedMachineProxy::~ScopedMachineProxy() {
    writeBinary(HKEY_LOCAL_MACHINE, kWinHttpConnections, L"WinHttpSettings", previous_);
}

} // namespace vesk::test
