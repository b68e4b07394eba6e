#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vesk::updater {

// What the core-file check tells whoever shows its work, called on the thread that runs it. Every member may
// be left empty.
struct PreflightObserver {
    // A core file's download begins.
    std::function<void(const std::string& fileName)> downloadStarted;
    // Bytes of that download have arrived; total is the size announced by the server or, failing that,
    // the manifest's (nothing when neither is known).
    std::function<void(std::uint64_t received, std::optional<std::uint64_t> total)> downloadProgress;
    // That download is over, whatever its outcome.
    std::function<void()> downloadEnded;
    // Replaces the process's end after the hand-over copy was started: the run then returns and the caller
    // ends the process itself. Empty: the process ends at once, as without an observer.
    std::function<void()> endProcess;
};

// The share of total that received makes, 0 to 100; 0 when total is unknown or zero.
int downloadPercent(std::uint64_t received, std::optional<std::uint64_t> total);

} // namespace vesk::updater
