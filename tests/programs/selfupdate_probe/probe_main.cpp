// Records the command line it was started with in "probe_command_line.txt" beside itself, then exits 0.
// The self-update tests install it where the program expects its own executable, so they can see exactly
// how the next instance would have been started. Uses kernel32 only, so nothing beside it is loaded.
#include "core/handles_win.h"

#include <windows.h>

#include <string>

int main() {
    char path[MAX_PATH] = {};
    std::string file(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
    file = file.substr(0, file.find_last_of('\\') + 1) + "probe_command_line.txt";
    const std::string commandLine = ::GetCommandLineA();
    const std::string partial = file + ".partial";
    // Written under another name first, so a reader never sees half a line.
    {
        vesk::updater::FileHandle out(::CreateFileA(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) {
            return 2;
        }
        DWORD written = 0;
        ::WriteFile(out.get(), commandLine.data(), static_cast<DWORD>(commandLine.size()), &written, nullptr);
    }
    return ::MoveFileExA(partial.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 3;
}
