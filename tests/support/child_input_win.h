#pragma once

// Starting a program the way a script or a scheduler does: with a standard input that is not a console.

#include "core/handles_win.h"

#include <chrono>
#include <string>

namespace vesk::test {

// An anonymous pipe whose write end stays with the test and is never written: a child that reads its
// end waits for as long as the pipe lives.
class SilentInputPipe {
public:
    SilentInputPipe();
    // The inheritable read end to hand to a child.
    HANDLE childEnd() const { return read_.get(); }

private:
    vesk::updater::FileHandle read_;
    vesk::updater::FileHandle write_;
};

struct DetachedRun {
    bool started = false;
    // False when it was still running at the timeout (it was then terminated).
    bool ended = false;
    unsigned long exitCode = 0;
};

// Runs the command line in workingDirectory without a console of its own (as a window program started
// from the desktop), with `input` as standard input and its output discarded, and waits for its end.
DetachedRun runDetachedWithInput(const std::string& commandLine, const std::string& workingDirectory,
                                 HANDLE input, std::chrono::milliseconds timeout);

} // namespace vesk::test
