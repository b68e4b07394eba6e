// temp_launcher "<temporary folder>" <command line>: runs the command line with TMP and TEMP naming the
// folder, handing on the standard handles, and ends with the started program's exit code (255 when it
// could not be started).

#include <windows.h>

#include <string>

int main() {
    std::wstring commandLine = ::GetCommandLineW();
    // Skip the launcher's own name, then read the quoted folder.
    std::size_t position = commandLine[0] == L'"' ? commandLine.find(L'"', 1) + 1 : commandLine.find(L' ');
    position = commandLine.find(L'"', position);
    const std::size_t folderEnd = commandLine.find(L'"', position + 1);
    if (position == std::wstring::npos || folderEnd == std::wstring::npos) {
        return 255;
    }
    const std::wstring folder = commandLine.substr(position + 1, folderEnd - position - 1);
    std::wstring rest = commandLine.substr(commandLine.find_first_not_of(L' ', folderEnd + 1));
    ::SetEnvironmentVariableW(L"TMP", folder.c_str());
    ::SetEnvironmentVariableW(L"TEMP", folder.c_str());

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, rest.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &info)) {
        return 255;
    }
    ::CloseHandle(info.hThread);
    ::WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 255;
    ::GetExitCodeProcess(info.hProcess, &exitCode);
    ::CloseHandle(info.hProcess);
    return static_cast<int>(exitCode);
}
