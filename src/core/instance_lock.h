#pragma once

#include <string>

namespace vesk::updater {

// The name of the lock that lets one run at a time work on an installation. Derived from the install
// folder, compared without regard to letter case or a trailing backslash, so every spelling of one folder
// gives one name. Pure text, so it is the same in every process.
std::wstring instanceLockName(const std::string& installDirectory);

// The name of the token a run leaves for the one process it hands the lock to.
std::wstring handOverTokenName(const std::wstring& lockName, unsigned long processId);

} // namespace vesk::updater
