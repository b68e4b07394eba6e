#pragma once

// Running the real VESK_Updater.exe from a temporary install folder: the folder, the registry values that
// point at it, the loopback server on the program's built-in address, and the processes the run leaves.

#include "support/default_port_server.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vesk::test {

// Sets one HKLM string value (or removes it) for the life of the object and puts the old state back.
class ScopedMachineValue {
public:
    ScopedMachineValue(std::string subkey, std::string name, const std::optional<std::string>& value);
    ~ScopedMachineValue();
    ScopedMachineValue(const ScopedMachineValue&) = delete;
    ScopedMachineValue& operator=(const ScopedMachineValue&) = delete;

private:
    void setValue(const std::optional<std::string>& value) const;

    std::string subkey_;
    std::string name_;
    std::optional<std::string> previous_;
};

// A started program: its id, and its exit code once it ended within the time given.
struct ProgramRun {
    DWORD processId = 0;
    bool ended = false;
    DWORD exitCode = 0;
};
// Starts exe with the arguments in its own folder and waits for its end; a program still running at the
// timeout is terminated (ended stays false).
ProgramRun runProgram(const std::string& exe, const std::string& arguments,
                      std::chrono::milliseconds timeout);

// Ids of the running processes whose executable lies inside folder.
std::vector<DWORD> processesInside(const std::string& folder);
// Waits until no process runs from inside folder. At the timeout the rest are terminated and false returned.
bool waitUntilNoProcessInside(const std::string& folder, std::chrono::milliseconds timeout);

// A temporary install folder holding the program built for the tests and the real zlib1.dll.
class ProgramInstall {
public:
    ProgramInstall();
    // The same folder holding another build of the program (a trusted-release build, say).
    explicit ProgramInstall(const std::string& builtProgram);
    // The program installed in a folder of a temporary folder: the relative path (any name, any number of
    // levels) that folderIn gives for the temporary folder's path.
    ProgramInstall(const std::string& builtProgram,
                   const std::function<std::string(const std::string& parent)>& folderIn);
    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + "\\" + relative; }
    std::string program() const { return file("VESK_Updater.exe"); }
    std::string log() const { return file("logs\\ui_logs.log"); }
    std::string copyLog() const { return file("update\\logs\\ui_logs.log"); }

private:
    TempDir dir_;
    std::string path_;
};

// Build-time fixtures of these tests.
std::string integrationFixture(const std::string& name);
// The program as built, byte for byte.
std::string builtProgramBytes();

} // namespace vesk::test
