#pragma once

#include "selfupdate/update_sources.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace vesk::updater {

// Runs in the copy of the program in the "update" folder: waits for processId to end, downloads and verifies
// the released executable, moves it over the installed one and starts it with "--restart-done". Returns the
// process exit code: 0 when the new executable was started, 1 on every failure.
// A predecessor still running after waitLimit is reported and nothing is replaced (exit code 1).
inline constexpr std::chrono::seconds kPredecessorWaitLimit{60};
// How long the installed executable may stay in use (a start stepping aside, a scanner) before its
// replacement is given up.
inline constexpr std::chrono::seconds kInstalledInUseLimit{20};
int runRestartStart(const std::string& channel, std::uint32_t processId);
int runRestartStart(const std::string& channel, std::uint32_t processId, const UpdateSources& sources,
                    std::chrono::milliseconds waitLimit = kPredecessorWaitLimit);

// Runs in the freshly installed executable: removes the copy and, when they are empty, its folders. Never
// fails; problems are logged as warnings.
void runRestartDone();
void runRestartDone(const UpdateSources& sources);

} // namespace vesk::updater
