#include "support/child_input_win.h"

#include "core/wide_text.h"

#include <stdexcept>

namespace vesk::test {

using vesk::updater::FileHandle;
using vesk::updater::ProcessHandles;

SilentInputPipe::SilentInputPipe() {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        throw std::runtime_error("cannot create a pipe");
    }
    read_.reset(readEnd);
    write_.reset(writeEnd);
    // Only the read end goes to the child; were the write end inherited too, the child would hold it open.
    ::SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
}

DetachedRun runDetachedWithInput(const std::string& commandLine, const std::string& workingDirectory,
                                 HANDLE input, std::chrono::milliseconds timeout) {
    DetachedRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    FileHandle discard(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = discard.get();
    startup.hStdError = discard.get();
    std::wstring mutableCommandLine = vesk::updater::widen(commandLine);
    const std::wstring directory = vesk::updater::widen(workingDirectory);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, mutableCommandLine.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                          nullptr, directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
        return run;
    }
    run.started = true;
    const ProcessHandles process = ProcessHandles::adopt(info);
    if (::WaitForSingleObject(process.process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.process.get(), 99);
        ::WaitForSingleObject(process.process.get(), 10000);
        return run;
    }
    DWORD code = 0;
    run.ended = ::GetExitCodeProcess(process.process.get(), &code) != 0;
    run.exitCode = code;
    return run;
}

} // namespace vesk::test
