#pragma once

// Decisions that keep the deferred self-update safe to interrupt, to repeat and to trust: which record
// a trusted build refuses, where the in-between files live, how the run lock is named. No Win32 here.

#include "selfupdate/pending_self_update.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vesk::updater {

// The points of a run at which a file on disk changes state. Each one is a place where the process may
// die; the files must make sense there, and the next run must finish the work.
enum class PendingStep {
    Verified,      // a staged file passed its checks; nothing touched yet
    BackupWritten, // the backup copy is written and flushed beside the backup, not yet renamed onto it
    BackupPlaced,  // the backup is in place
    CopyStarted,   // copying across volumes: part of the file is written beside the target
    CopyWritten,   // copying across volumes: the whole file is written and flushed beside the target
    Placed,        // the target holds the new file; a staged file copied across volumes is still there
    FilesDone,     // every file is handled; the record is still there
};

// The step's name, as a test names the point to stop at ("verified", "copy-started", ...).
const char* pendingStepName(PendingStep step);

// What a run needs to know about the program that runs it.
struct PendingRunSettings {
    // A build with a trusted release key: the record must carry hashes and stay inside installFolder.
    bool trusted = false;
    // The folder the running program is installed in (never a value taken from the record).
    std::string installFolder;
    // How long a run waits for another run of the same installation to finish.
    std::chrono::milliseconds lockWait{60000};
    // Told at every step; empty in the program. Lets a test stop the process at a chosen point.
    std::function<void(PendingStep)> atStep;
};

// True when path names something strictly inside folder, written plainly: same drive or share, no "."
// or ".." components, no empty components, no stream names, no characters Windows rejects in names, and
// no component ending in a dot or a space (which Windows would silently drop). Letter case is ignored
// for ASCII letters only; any other difference counts as outside.
bool pathLiesInside(const std::string& path, const std::string& folder);

// 64 lower-case hexadecimal digits.
bool isSha256Text(const std::string& text);

// Why a trusted build refuses to place this file ("" when it may): the record must name the new file's
// SHA-256, and both the target and its backup must lie inside the install folder.
std::string trustedPlacementRefusal(const PendingFileEntry& entry, const std::string& backupPath,
                                    const std::string& installFolder);

// The name of the lock that keeps two deferred self-updates of one installation from running at once:
// derived from the install folder (letter case and trailing separators ignored), valid as a kernel object
// name, the same for every process of every session.
std::string pendingLockName(const std::string& installFolder);

// A short fingerprint of the pending manifest's text, written beside a backup so that a run can tell a
// backup it made for this very record from one an earlier update left.
std::string pendingRecordFingerprint(const std::string& manifestContent);

// Where a file is written before it is renamed onto path: beside it, so the rename stays on one volume.
std::string besideTemporaryPath(const std::string& path);
// The file beside a backup that names the record the backup was taken for.
std::string backupFingerprintPath(const std::string& backupPath);

// The ERROR line of a run that keeps its record because these files were not placed.
std::string keptRecordLine(const std::vector<std::string>& failedNames);

} // namespace vesk::updater
