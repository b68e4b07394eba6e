#include "client/output_pipe_win.h"

#include <atomic>
#include <string>

namespace vesk::updater {

namespace {

// A name no other pipe has: the process, a counter and the time. FILE_FLAG_FIRST_PIPE_INSTANCE below makes
// creation fail rather than join a pipe someone else made under the same name.
std::wstring uniquePipeName() {
    static std::atomic<unsigned> counter{0};
    return L"\\\\.\\pipe\\VESK_Updater.output." + std::to_wstring(::GetCurrentProcessId()) + L"." +
           std::to_wstring(counter.fetch_add(1)) + L"." + std::to_wstring(::GetTickCount64());
}

} // namespace

bool createOutputPipe(DWORD bufferBytes, KernelHandle& readEnd, KernelHandle& writeEnd) {
    const std::wstring name = uniquePipeName();
    FileHandle server(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, bufferBytes, 0,
        nullptr));
    if (!server) {
        return false;
    }
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.bInheritHandle = TRUE;
    // Reading attributes lets the child ask what its output is, as it may of an anonymous pipe.
    FileHandle client(::CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &inheritable,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!client) {
        return false;
    }
    readEnd.reset(server.release());
    writeEnd.reset(client.release());
    return true;
}

OverlappedPipeReader::OverlappedPipeReader(HANDLE pipe, std::size_t chunkBytes)
    : pipe(pipe), event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), buffer(chunkBytes) {
    overlapped.hEvent = event.get();
}

OverlappedPipeReader::~OverlappedPipeReader() {
    cancel();
}

OverlappedPipeReader::Result OverlappedPipeReader::finish(BOOL done, DWORD bytes) {
    if (done) {
        readPending = false;
        received = bytes;
        // A zero-byte read is what a writer's empty write looks like; it is not the end of the pipe.
        return Result::Data;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING || error == ERROR_IO_INCOMPLETE) {
        readPending = true;
        return Result::Pending;
    }
    readPending = false;
    return Result::Closed;
}

OverlappedPipeReader::Result OverlappedPipeReader::read() {
    received = 0;
    if (!event) {
        return Result::Closed;
    }
    if (!readPending &&
        !::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped)) {
        return finish(FALSE, 0);
    }
    DWORD bytes = 0;
    const BOOL done = ::GetOverlappedResult(pipe, &overlapped, &bytes, FALSE);
    return finish(done, bytes);
}

bool OverlappedPipeReader::cancel() {
    received = 0;
    if (!readPending) {
        return false;
    }
    ::CancelIoEx(pipe, &overlapped);
    DWORD bytes = 0;
    const BOOL done = ::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
    readPending = false;
    received = done ? bytes : 0;
    return received > 0;
}

} // namespace vesk::updater
