#pragma once

// The file work of the deferred self-update: a staged file held against writers from its check to its
// placement, placement by rename (or, across volumes, by a flushed copy beside the target renamed onto
// it), backups that are never partial, and the lock that lets one run at a time work on an installation.

#include "core/handles_win.h"
#include "selfupdate/pending_safety.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace vesk::updater {

using PendingStepHook = std::function<void(PendingStep)>;

// A staged new file, opened so that nobody can write to it (or rename or delete it) while it is open: the
// bytes its size and hash are taken from are the bytes that are placed.
class StagedFile {
public:
    // Opens path; 0 or the Windows error code.
    unsigned long open(const std::string& path);
    // 0 and the size in bytes, or the Windows error code.
    unsigned long size(unsigned long long& bytes) const;
    // SHA-256 of the whole file as 64 lower-case hexadecimal digits, or "" when it cannot be read.
    std::string sha256() const;
    // Puts the file at target, replacing what is there: renamed through the open handle when target is on
    // the same volume; otherwise copied beside target, flushed and renamed onto it. A stop at any point
    // leaves target either as it was or whole. 0 or the Windows error code of the step that failed.
    unsigned long placeAt(const std::string& target, const PendingStepHook& hook);
    // Writes the file's bytes over target in place, for a target that others hold open so that it cannot
    // be renamed over. 0 or the Windows error code.
    unsigned long copyOver(const std::string& target) const;
    // After placeAt copied the file or copyOver wrote it: deletes the staged file. Nothing after a rename.
    void removeCopiedSource();

private:
    std::string path_;
    FileHandle file_;
    bool renamed_ = false;
};

// True when the file at path can be read and has exactly this SHA-256.
bool fileHasSha256(const std::string& path, const std::string& expectedSha256);

// True when the backup exists and was taken for the record with this fingerprint.
bool backupBelongsToRecord(const std::string& backupPath, const std::string& fingerprint);

// Copies target to backupPath through a flushed file beside the backup renamed onto it, then notes the
// record's fingerprint beside it. An earlier backup stays whole until the new one replaces it.
// 0 or the Windows error code.
unsigned long takeBackup(const std::string& target, const std::string& backupPath,
                         const std::string& fingerprint, const PendingStepHook& hook);

// Puts the backup's bytes back at target, by a copy renamed onto target when that is possible and in
// place otherwise. 0 or the Windows error code.
unsigned long restoreBackup(const std::string& backupPath, const std::string& target);

// Deletes a staged file that is no longer needed because its target is in place: only when it holds the
// expected bytes and is not the target itself under another name (a different spelling, a hard link).
void removeStagedLeftover(const std::string& source, const std::string& target,
                          const std::string& expectedSha256);

// Deletes what a stopped run may have left beside path (a partial copy); missing is fine.
void discardBesideTemporary(const std::string& path);

// The folder of the running executable in its long form (records name the long form); "" when it cannot
// be found.
std::string installFolderOfRunningProgram();

// The run lock of one installation: a named mutex, which the system releases when its owner dies.
class PendingRunLock {
public:
    enum class Outcome { Acquired, Busy, Failed };

    PendingRunLock() = default;
    PendingRunLock(const PendingRunLock&) = delete;
    PendingRunLock& operator=(const PendingRunLock&) = delete;
    ~PendingRunLock() { release(); }

    // Takes the lock with this name, waiting up to wait for another owner; beforeWaiting is called once
    // when the lock is held elsewhere. Failed carries the Windows error code in error().
    Outcome acquire(const std::string& name, std::chrono::milliseconds wait,
                    const std::function<void()>& beforeWaiting);
    void release();
    unsigned long error() const { return error_; }

private:
    KernelHandle mutex_;
    bool owned_ = false;
    unsigned long error_ = 0;
};

} // namespace vesk::updater
