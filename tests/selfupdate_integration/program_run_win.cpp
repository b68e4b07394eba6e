#include "program_run_win.h"

#include "core/handles_win.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vesk::test {

using vesk::updater::KernelHandle;
using vesk::updater::ProcessHandles;
using vesk::updater::narrow;
using vesk::updater::RegKey;
using vesk::updater::widen;

ScopedMachineValue::ScopedMachineValue(std::string subkey, std::string name,
                                       const std::optional<std::string>& value)
    : subkey_(std::move(subkey)), name_(std::move(name)) {
    RegKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, widen(subkey_).c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                          nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot open HKLM\\" + subkey_);
    }
    key.reset();
    previous_ = vesk::updater::readRegistryText(HKEY_LOCAL_MACHINE, subkey_, name_, 4096);
    setValue(value);
}

void ScopedMachineValue::setValue(const std::optional<std::string>& value) const {
    RegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, widen(subkey_).c_str(), 0, KEY_WRITE, key.put()) != ERROR_SUCCESS) {
        return;
    }
    if (value) {
        const std::wstring text = widen(*value);
        ::RegSetValueExW(key.get(), widen(name_).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    } else {
        ::RegDeleteValueW(key.get(), widen(name_).c_str());
    }
}

ScopedMachineValue::~ScopedMachineValue() {
    setValue(previous_);
}

ProgramRun runProgram(const std::string& exe, const std::string& arguments,
                      std::chrono::milliseconds timeout) {
    ProgramRun run;
    std::string commandLine = "\"";
    commandLine += exe + "\"";
    if (!arguments.empty()) {
        commandLine += " " + arguments;
    }
    // A current folder cannot be longer than MAX_PATH: a program in a longer one starts in the test's.
    const std::wstring folder = widen(exe.substr(0, exe.find_last_of('\\')));
    std::wstring wideCommandLine = widen(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, wideCommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.size() < MAX_PATH - 1 ? folder.c_str() : nullptr, &startup, &info)) {
        return run;
    }
    ProcessHandles process = ProcessHandles::adopt(info);
    run.processId = info.dwProcessId;
    if (::WaitForSingleObject(process.process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.process.get(), 99);
        ::WaitForSingleObject(process.process.get(), 10000);
        return run;
    }
    run.ended = ::GetExitCodeProcess(process.process.get(), &run.exitCode) != 0;
    return run;
}

namespace {

std::string withoutLongForm(const std::string& path) {
    return path.rfind("\\\\?\\", 0) == 0 ? path.substr(4) : path;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

std::vector<DWORD> processesInside(const std::string& folder) {
    std::vector<DWORD> found;
    const std::string prefix = lowerCase(folder + "\\");
    // A snapshot is invalid as INVALID_HANDLE_VALUE, like a file.
    vesk::updater::FileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return found;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32First(snapshot.get(), &entry); more;
         more = ::Process32Next(snapshot.get(), &entry)) {
        KernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) {
            continue;
        }
        DWORD exitCode = 0;
        if (::GetExitCodeProcess(process.get(), &exitCode) && exitCode != STILL_ACTIVE) {
            continue;
        }
        std::vector<wchar_t> image(32768);
        DWORD length = static_cast<DWORD>(image.size());
        if (::QueryFullProcessImageNameW(process.get(), 0, image.data(), &length) &&
            lowerCase(withoutLongForm(narrow(std::wstring_view(image.data(), length)))).rfind(prefix, 0) == 0) {
            found.push_back(entry.th32ProcessID);
        }
    }
    return found;
}

bool waitUntilNoProcessInside(const std::string& folder, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (processesInside(folder).empty()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (DWORD id : processesInside(folder)) {
        KernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (process) {
            ::TerminateProcess(process.get(), 98);
            ::WaitForSingleObject(process.get(), 10000);
        }
    }
    return false;
}

std::string integrationFixture(const std::string& name) {
    return executableDirectory() + "\\selfupdate_integration_fixtures\\" + name;
}

std::string builtProgramBytes() {
    return readFileBytes(executableDirectory() + "\\VESK_Updater.exe");
}

ProgramInstall::ProgramInstall() : ProgramInstall(executableDirectory() + "\\VESK_Updater.exe") {}

ProgramInstall::ProgramInstall(const std::string& builtProgram)
    : ProgramInstall(builtProgram, [](const std::string&) { return std::string(); }) {}

ProgramInstall::ProgramInstall(const std::string& builtProgram,
                               const std::function<std::string(const std::string& parent)>& folderIn)
    : path_(folderIn(dir_.path()).empty() ? dir_.path() : dir_.file(folderIn(dir_.path()))) {
    createFolders(path_);
    if (!::CopyFileW(widePath(builtProgram).c_str(), widePath(program()).c_str(), FALSE) ||
        !::CopyFileW(widePath(integrationFixture("zlib1.dll")).c_str(), widePath(file("zlib1.dll")).c_str(),
                     FALSE)) {
        throw std::runtime_error("cannot fill the install folder " + path());
    }
}

} // namespace vesk::test
