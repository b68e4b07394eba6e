#pragma once

#include "core/handles_win.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace vesk::updater {

// Creates a byte pipe for a child's output. The read end is ours: not inheritable, and opened for overlapped
// reads, so that one wait can cover new output and the child's end together. The write end is the child's:
// inheritable and synchronous, as a program's standard output expects. False when either end cannot be made.
bool createOutputPipe(DWORD bufferBytes, KernelHandle& readEnd, KernelHandle& writeEnd);

// One overlapped read at a time on a pipe's read end (which it does not own). A read still under way when the
// reader goes is cancelled and waited for, so the system never writes into a buffer that is gone.
class OverlappedPipeReader {
public:
    enum class Result {
        Data,    // bytes arrived: data() holds them until the next call
        Pending, // the read waits for output; readyEvent() is signalled when it has finished
        Closed,  // the pipe has no writer left, or cannot be read
    };

    OverlappedPipeReader(HANDLE pipe, std::size_t chunkBytes);
    ~OverlappedPipeReader();
    OverlappedPipeReader(const OverlappedPipeReader&) = delete;
    OverlappedPipeReader& operator=(const OverlappedPipeReader&) = delete;

    // Starts a read when none is under way, or looks at the one under way without waiting.
    Result read();
    // Stops a read under way; true when it had finished with bytes before it could be stopped (see data()).
    bool cancel();

    bool pending() const { return readPending; }
    HANDLE readyEvent() const { return event.get(); }
    std::string_view data() const { return std::string_view(buffer.data(), received); }

private:
    Result finish(BOOL done, DWORD bytes);

    HANDLE pipe;
    KernelHandle event;
    OVERLAPPED overlapped{};
    std::vector<char> buffer;
    DWORD received = 0;
    bool readPending = false;
};

} // namespace vesk::updater
