#include "pending_test_helpers.h"

#include "core/handles_win.h"
#include "core/logger.h"
#include "support/temp_dir.h"

namespace vesk::test {

using vesk::updater::RegKey;

LogTail::LogTail() : start_(readFileBytes(vesk::updater::logger().path()).size()) {}

std::string LogTail::text() const {
    const std::string all = readFileBytes(vesk::updater::logger().path());
    return all.size() > start_ ? all.substr(start_) : std::string();
}

bool LogTail::hasLine(const std::string& level, const std::string& message) const {
    return text().find("[" + level + "] [] " + message + "\r\n") != std::string::npos;
}

bool setMachineString(const std::string& subkey, const std::string& name, const std::string& value) {
    RegKey key;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return ::RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool machineValueExists(const std::string& subkey, const std::string& name) {
    RegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    return ::RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

void deleteMachineValue(const std::string& subkey, const std::string& name) {
    RegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_WRITE, key.put()) == ERROR_SUCCESS) {
        ::RegDeleteValueA(key.get(), name.c_str());
    }
}

bool readMachineString(const std::string& subkey, const std::string& name, std::string& value) {
    RegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    char buffer[1024] = {};
    DWORD size = sizeof(buffer) - 1;
    if (::RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                           &size) != ERROR_SUCCESS) {
        return false;
    }
    value = buffer;
    return true;
}

std::string jsonEscape(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

} // namespace vesk::test
