#pragma once

#include <chrono>
#include <string>

namespace vesk::updater {

// The folder under the system's temporary folder that holds one subfolder per run of the program.
inline constexpr const char* kRunFoldersName = "VESK_Updater";
// The file a run keeps open in its folder for as long as it lives; a folder whose file nobody holds open is
// left over from a run that has ended.
inline constexpr const char* kRunOwnerFileName = "owner.lock";

// How long a second start waits for the window of the run that holds the installation, and how long the
// deferred self-update waits for that run to end.
inline constexpr std::chrono::seconds kRunningWindowWait{10};
inline constexpr std::chrono::seconds kDeferredRunLockWait{120};

// Removes the folders earlier runs left under `parent` (ending with a backslash) when no living run owns
// them, then makes this run's own folder there and holds it. Returns that folder with a trailing backslash,
// or "" when it could not be made.
std::string prepareRunFolder(const std::string& parent, unsigned long processId);

// Removes what ended runs left in the install folder: core-file downloads that waited for their check and
// the executable's download; with withHandOverCopy also the copy of the executable in "update". Only a run
// that holds the installation may call it. Logs one INFO line per file removed.
void removeInstallLeftovers(const std::string& installDirectory, bool withHandOverCopy);

// Brings the progress window of another run of this executable to the front, waiting up to `limit` for it
// to appear. False when none appeared.
bool bringRunningWindowToFront(std::chrono::milliseconds limit);

} // namespace vesk::updater
