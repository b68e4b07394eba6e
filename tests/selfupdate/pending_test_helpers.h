#pragma once

// Helpers shared by the deferred self-update and temp-copy handoff tests.

#include <string>

namespace vesk::test {

// The text the process log gains from construction on (the log is shared by the whole test process).
class LogTail {
public:
    LogTail();
    std::string text() const;
    // True when a line of the given level ends with exactly this message.
    bool hasLine(const std::string& level, const std::string& message) const;

private:
    size_t start_ = 0;
};

// Values under HKEY_LOCAL_MACHINE of the test's Wine prefix.
bool setMachineString(const std::string& subkey, const std::string& name, const std::string& value);
bool machineValueExists(const std::string& subkey, const std::string& name);
void deleteMachineValue(const std::string& subkey, const std::string& name);
// The value's text, or nothing when it does not exist.
bool readMachineString(const std::string& subkey, const std::string& name, std::string& value);

// A path written as a JSON string body: backslashes and quotes escaped.
std::string jsonEscape(const std::string& text);

} // namespace vesk::test
