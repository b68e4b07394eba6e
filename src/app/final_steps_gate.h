#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vesk::updater {

// Orders the end of the process against the detached update thread. Once the update has ended, the thread's
// last steps (result log, cleanup, handing over to a waiting temp copy, the final report) must be allowed to
// finish even though the window closes meanwhile; but a window closed by the user while the update still runs
// ends the process at once: the user has chosen to stop, and an update cut short has no last steps to wait
// for.
class FinalStepsGate {
public:
    enum class Outcome {
        Finished,  // the thread has done everything; nothing of it runs any more
        Abandoned, // the update was still running: the thread is left to the process's end
        TimedOut,  // the last steps took longer than the limit: the thread is left to the process's end
    };

    // Update thread: the update has ended and the last steps begin (calling it again changes nothing).
    // False when the main thread has already given up on the thread: the process is ending, so the thread
    // must not go on.
    bool beginFinalSteps();

    // Update thread: the very last call; after it the thread touches nothing shared.
    void finished();

    // Main thread, after the window has closed: waits up to `limit` for the last steps if they have begun.
    // Returns at once with Abandoned while the update is still running, and from then on the thread's
    // beginFinalSteps answers false. With any outcome but Finished the thread may still use what it was
    // given, so that must stay alive until the process ends.
    Outcome waitAfterWindowClosed(std::chrono::milliseconds limit);

private:
    enum class State { Running, Finishing, Finished, Abandoned };

    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Running;
};

// The gate of this process's update thread. Never destroyed, so a thread still running while the process
// exits finds it intact.
FinalStepsGate& updateThreadGate();

} // namespace vesk::updater
