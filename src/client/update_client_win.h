#pragma once

#include "core/handles_win.h"
#include "ui/progress_callback.h"

#include <atomic>
#include <string>
#include <string_view>

namespace vesk::updater {

// Drives the console updater Updater.exe: finds it, starts it hidden with its output in a pipe, turns its
// output into progress reports while it runs and reports the outcome, which is its exit code alone.
// Used by one thread: construct, initialize, runUpdate, cleanup, destroy.
class UpdateClient {
public:
    // The callback is not owned and must outlive the client. The channel may be empty (default channel).
    UpdateClient(IProgressCallback* callback, std::string channel);
    // As above, but looks for the console updater as if this program lived in `executableDirectory`
    // (no trailing backslash): lets tests and tools place a console updater anywhere.
    UpdateClient(IProgressCallback* callback, std::string channel, std::string executableDirectory);
    ~UpdateClient();

    UpdateClient(const UpdateClient&) = delete;
    UpdateClient& operator=(const UpdateClient&) = delete;

    // Reports the first status and progress; always succeeds.
    bool initialize();

    // The path of the first console updater candidate that exists, or "".
    std::string findConsoleUpdater() const;

    // Runs the console updater and watches it to its end; true only when it ran and exited with code 0.
    // The manifest location is handed to it only when it is not an http:// or https:// URL.
    bool runUpdate(const std::string& manifestLocation);

    // Interprets one line of the console updater's output (see interpretOutputLine).
    void parseOutputLine(std::string_view line, int& progress);

    // Gives a still running console updater 2000 ms, then terminates it with exit code 1, and closes every
    // handle. Safe to call more than once. Not to be called while runUpdate runs on another thread.
    void cleanup();

    // Asks a running runUpdate to stop watching at its next pass (it then reports a failure). Safe from any
    // thread and from inside a callback; leaves the console updater running until cleanup.
    void requestStop() { stopRequested.store(true); }

private:
    bool monitorProcess();

    IProgressCallback* callback;
    KernelHandle processHandle;
    KernelHandle outputRead;
    KernelHandle outputWrite;
    std::atomic<bool> stopRequested{false};
    std::string channel;
    std::string executableDirectory; // empty: the running executable's directory
};

} // namespace vesk::updater
