#pragma once

// Proxy settings of this Wine prefix for the length of a test: the user's Internet settings (the binary
// DefaultConnectionSettings value, the only part WinHttpGetIEProxyConfigForCurrentUser reads under Wine)
// and the machine's WinHTTP proxy. Both put back what was there before.

#include <optional>
#include <string>
#include <vector>

namespace vesk::test {

struct UserProxyConfig {
    std::string proxy;     // "host:port", "" for none
    std::string bypass;
    std::string scriptUrl; // automatic-configuration script, "" for none
    bool autoDetect = false;
};

// The bytes of DefaultConnectionSettings for config.
std::string connectionSettingsValue(const UserProxyConfig& config);

class ScopedUserProxy {
public:
    explicit ScopedUserProxy(const UserProxyConfig& config);
    ~ScopedUserProxy();
    ScopedUserProxy(const ScopedUserProxy&) = delete;
    ScopedUserProxy& operator=(const ScopedUserProxy&) = delete;

private:
    std::optional<std::string> previous_;
};

// The machine's WinHTTP proxy ("" = none) until destruction.
class ScopedMachineProxy {
public:
    explicit ScopedMachineProxy(const std::string& proxy);
    ~ScopedMachineProxy();
    ScopedMachineProxy(const ScopedMachineProxy&) = delete;
    ScopedMachineProxy& operator=(const ScopedMachineProxy&) = delete;

private:
    std::optional<std::string> previous_;
};

} // namespace vesk::test
