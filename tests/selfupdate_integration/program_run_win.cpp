#include "program_run_win.h"

#include "core/handles_win.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <thread>

namespace vesk::test {

using vesk::updater::KernelHandle;
using vesk::updater::ProcessHandles;
using vesk::updater::RegKey;

ScopedMachineValue::ScopedMachineValue(std::string subkey, std::string name,
                                       const std::optional<std::string>& value)
    : subkey_(std::move(subkey)), name_(std::move(name)) {
    RegKey key;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                          key.put(), nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot open HKLM\\" + subkey_);
    }
    char buffer[4096] = {};
    DWORD size = sizeof(buffer) - 1;
    if (::RegQueryValueExA(key.get(), name_.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                           &size) == ERROR_SUCCESS) {
        previous_ = std::string(buffer);
    }
    if (value) {
        ::RegSetValueExA(key.get(), name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                         static_cast<DWORD>(value->size() + 1));
    } else {
        ::RegDeleteValueA(key.get(), name_.c_str());
    }
}

ScopedMachineValue::~ScopedMachineValue() {
    RegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, KEY_WRITE, key.put()) != ERROR_SUCCESS) {
        return;
    }
    if (previous_) {
        ::RegSetValueExA(key.get(), name_.c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(previous_->c_str()),
                         static_cast<DWORD>(previous_->size() + 1));
    } else {
        ::RegDeleteValueA(key.get(), name_.c_str());
    }
}

ProgramRun runProgram(const std::string& exe, const std::string& arguments,
                      std::chrono::milliseconds timeout) {
    ProgramRun run;
    std::string commandLine = "\"";
    commandLine += exe + "\"";
    if (!arguments.empty()) {
        commandLine += " " + arguments;
    }
    const std::string folder = exe.substr(0, exe.find_last_of('\\'));
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                          &startup, &info)) {
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
        char image[MAX_PATH * 2] = {};
        DWORD length = sizeof(image);
        if (::QueryFullProcessImageNameA(process.get(), 0, image, &length) &&
            lowerCase(std::string(image, length)).rfind(prefix, 0) == 0) {
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

ProgramInstall::ProgramInstall(const std::string& builtProgram) {
    if (!::CopyFileA(builtProgram.c_str(), program().c_str(), FALSE) ||
        !::CopyFileA(integrationFixture("zlib1.dll").c_str(), file("zlib1.dll").c_str(), FALSE)) {
        throw std::runtime_error("cannot fill the install folder " + path());
    }
}

} // namespace vesk::test
