#pragma once

#include <cstdint>
#include <string>

namespace vesk::updater {

// The outcome of an elevation request.
struct ElevationResult {
    // The request succeeded, or no request was needed.
    bool success = false;
    // True only when the process was already elevated and nothing was started.
    bool alreadyElevated = false;
    // A fixed text or an error description.
    std::string message;
    // The Windows error code when the request failed; 0 otherwise.
    std::uint32_t errorCode = 0;
    // The elevated process's exit code when the caller waited and the wait completed; 0 otherwise.
    std::uint32_t exitCode = 0;
    // The elevated process (a Win32 HANDLE) when the caller did not wait; null otherwise. The caller owns it
    // and must close it, for example by adopting it into a KernelHandle.
    void* processHandle = nullptr;
};

// Whether the current process token is elevated; false when the token cannot be read.
bool isProcessElevated();

// Starts file with parameters through the shell's "runas" verb, unless this process is elevated already.
// With wait, blocks until the started process ends and reports its exit code.
ElevationResult requestElevation(const std::string& file, const std::string& parameters, bool wait);

// The part of requestElevation that starts the process: no check of the current elevation. Under an
// elevated process it simply starts the file.
ElevationResult launchElevated(const std::string& file, const std::string& parameters, bool wait);

// Starts the running executable again, elevated, with argv[1] .. argv[argc - 1] (argv[0] is skipped), and
// waits for it. The result never carries a process handle.
ElevationResult restartElevated(int argc, const char* const argv[]);

// The system's text for a Windows error code without trailing line breaks, or "Unknown error (code: N)".
std::string getWindowsErrorMessage(std::uint32_t code);

// UTF-8 to UTF-16; invalid sequences become replacement characters, a failed conversion gives "".
std::wstring toWide(const std::string& text);

} // namespace vesk::updater
