#pragma once

#include "core/handles_win.h"

#include <chrono>
#include <optional>
#include <string>

namespace vesk::test {

// A program started in the background from its own folder, for tests that watch it while it runs. One
// still running when the object goes is terminated.
class StartedProgram {
public:
    StartedProgram(const std::string& exe, const std::string& arguments);
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    bool started() const { return process_.process.valid(); }
    unsigned long processId() const { return processId_; }
    bool running() const;
    // The exit code once it has ended within timeout; nothing otherwise.
    std::optional<unsigned long> waitForExit(std::chrono::milliseconds timeout) const;

private:
    vesk::updater::ProcessHandles process_;
    unsigned long processId_ = 0;
};

} // namespace vesk::test
