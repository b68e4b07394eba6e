// Writes "start_record.txt" beside itself: the arguments after the program name, the working directory
// and the show mode it was given. The file appears complete or not at all, so a test can poll for it.
#include <windows.h>

#include <fstream>
#include <string>

namespace {

std::string argumentsOf(const std::string& commandLine) {
    size_t position = 0;
    if (!commandLine.empty() && commandLine[0] == '"') {
        const size_t close = commandLine.find('"', 1);
        position = close == std::string::npos ? commandLine.size() : close + 1;
    } else {
        position = commandLine.find_first_of(" \t");
        if (position == std::string::npos) {
            position = commandLine.size();
        }
    }
    while (position < commandLine.size() && (commandLine[position] == ' ' || commandLine[position] == '\t')) {
        ++position;
    }
    return commandLine.substr(position);
}

} // namespace

int main() {
    char directory[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, directory);
    char self[MAX_PATH] = {};
    std::string own(self, ::GetModuleFileNameA(nullptr, self, MAX_PATH));
    own = own.substr(0, own.find_last_of('\\'));

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    ::GetStartupInfoA(&startup);
    const std::string show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? std::to_string(startup.wShowWindow)
                                                                      : std::string("default");

    const std::string partial = own + "\\start_record.partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << "arguments=" << argumentsOf(::GetCommandLineA()) << "\n"
            << "directory=" << directory << "\n"
            << "show=" << show << "\n";
    }
    const std::string record = own + "\\start_record.txt";
    return ::MoveFileExA(partial.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
