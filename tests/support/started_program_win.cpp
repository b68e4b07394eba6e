#include "support/started_program_win.h"

namespace vesk::test {

StartedProgram::StartedProgram(const std::string& exe, const std::string& arguments) {
    std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    const std::string folder = exe.substr(0, exe.find_last_of('\\'));
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                         &startup, &info)) {
        process_ = vesk::updater::ProcessHandles::adopt(info);
        processId_ = info.dwProcessId;
    }
}

StartedProgram::~StartedProgram() {
    if (running()) {
        ::TerminateProcess(process_.process.get(), 99);
        ::WaitForSingleObject(process_.process.get(), 10000);
    }
}

bool StartedProgram::running() const {
    return started() && ::WaitForSingleObject(process_.process.get(), 0) == WAIT_TIMEOUT;
}

std::optional<unsigned long> StartedProgram::waitForExit(std::chrono::milliseconds timeout) const {
    if (!started() ||
        ::WaitForSingleObject(process_.process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process_.process.get(), &code);
    return code;
}

} // namespace vesk::test
