#pragma once

#include "core/privilege.h"

#include <functional>
#include <string>

namespace vesk::updater {

// What the entry routine asks of the system where a test must be able to answer differently: Wine always
// reports an elevated process, and a message box would wait for a click.
struct EntryEnvironment {
    // Whether this process is elevated.
    std::function<bool()> isProcessElevated;
    // Relaunches the program elevated with argv[1..argc-1] and waits for it.
    std::function<ElevationResult(int argc, const char* const argv[])> restartElevated;
    // An error message box with no owner window, MB_OK and MB_ICONERROR.
    std::function<void(const std::wstring& text, const std::wstring& caption)> showError;
};

// The real system: the token's elevation, the shell's "runas" relaunch and MessageBoxW.
EntryEnvironment systemEntryEnvironment();

// The program's start-up: logs the start, makes sure it runs elevated, picks the mode from the command line
// (the narrow command line without the program name) and runs it. Returns the process exit code.
int runEntryRoutine(const std::string& commandLine, const EntryEnvironment& environment);

} // namespace vesk::updater
