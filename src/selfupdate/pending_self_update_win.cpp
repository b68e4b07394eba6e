#include "selfupdate/pending_self_update_win.h"

#include "core/handles_win.h"
#include "core/logger.h"
#include "core/trusted_key.h"
#include "core/wide_text.h"
#include "integrity/file_hash.h"
#include "selfupdate/path_lookup_win.h"
#include "selfupdate/pending_placement_win.h"
#include "selfupdate/unexpected_error.h"
#include "core/windows_text_win.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace vesk::updater {

namespace {

constexpr wchar_t kRecordKey[] = L"SOFTWARE\\VESK\\Updater";
constexpr wchar_t kManifestValue[] = L"PendingSelfUpdateManifest";
constexpr wchar_t kTimestampValue[] = L"PendingSelfUpdateTimestamp";
// The longest path Windows knows, in UTF-8 bytes.
constexpr std::size_t kRecordPathBytes = 32767 * 3;

// Whether a person can answer a prompt: the process's window station is the interactive one. A scheduled
// task or a service runs on an invisible station, where a console can exist but nobody sees it.
bool interactiveWindowStation() {
    USEROBJECTFLAGS flags{};
    HWINSTA station = ::GetProcessWindowStation();
    if (station == nullptr ||
        !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr)) {
        return true; // cannot tell: the console check alone decides
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The console the program allocates for itself. Standard input is left as the process got it. A program
// started without one gets the new console's input and the final prompt waits for a key there; when
// standard input was redirected to a file, a pipe or a device, or nobody can see the console, the prompt
// is skipped rather than blocking a script, a scheduled task or a test for ever.
class SystemConsole : public IPendingUpdateConsole {
public:
    void open() override {
        // Judged before the console exists, so a redirected input is recognised whatever the allocation
        // does to the standard handles.
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode = 0;
        inputRedirected_ =
            input != nullptr && input != INVALID_HANDLE_VALUE && !::GetConsoleMode(input, &mode);
        ::AllocConsole(); // fails when the process already has one, which serves as well
        ::SetConsoleOutputCP(CP_UTF8); // the lines are UTF-8, paths included
        FILE* stream = nullptr;
        ::freopen_s(&stream, "CONOUT$", "w", stdout);
        ::freopen_s(&stream, "CONOUT$", "w", stderr);
    }

    void writeLine(const std::string& text) override {
        std::fputs(text.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    void waitForKey() override {
        if (inputRedirected_ || !standardInputIsConsole() || !interactiveWindowStation()) {
            return;
        }
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        INPUT_RECORD record{};
        DWORD read = 0;
        while (::ReadConsoleInputW(input, &record, 1, &read) && read == 1) {
            if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
                return;
            }
        }
    }

private:
    bool inputRedirected_ = false;
};

std::string errorSuffix(unsigned long code) {
    return " (error " + std::to_string(code) + ")";
}

enum class RecordLookup { NoKey, NoPath, Found };

// Reads the pending manifest path from the registry whatever the value's type: a string as written, raw
// bytes as UTF-8 or, when they are not, in the system code page.
RecordLookup readPendingRecord(std::string& manifestPath) {
    RegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return RecordLookup::NoKey;
    }
    logger().info("Found pending self-update registry entry");
    key.reset();
    const std::optional<std::string> path =
        readRegistryText(HKEY_LOCAL_MACHINE, narrow(kRecordKey), narrow(kManifestValue), kRecordPathBytes);
    if (!path || path->empty()) {
        return RecordLookup::NoPath;
    }
    manifestPath = *path;
    return RecordLookup::Found;
}

// The look-up of a parent directory: a bare drive "X:" means its root, not the drive's current folder.
PathLookupResult lookUpDirectory(const std::string& directory) {
    if (directory.size() == 2 && directory[1] == ':') {
        return lookUpPath(directory + "\\");
    }
    return lookUpPath(directory);
}

// What every file of one run shares: the program's settings and the fingerprint of the record.
struct PendingRun {
    const PendingRunSettings& settings;
    std::string fingerprint;

    void reach(PendingStep step) const {
        if (settings.atStep) {
            settings.atStep(step);
        }
    }
};

// True when an earlier run that was stopped already put this file in place: the target has the expected
// SHA-256. The staged file, when it is still there, and a partial copy beside the target are removed.
bool finishedByAnEarlierRun(const PendingFileEntry& entry, IPendingUpdateConsole& console) {
    if (entry.expectedSha256.empty() || !fileHasSha256(entry.targetPath, entry.expectedSha256)) {
        return false;
    }
    console.writeLine("Already in place: " + entry.targetName);
    discardBesideTemporary(entry.targetPath);
    removeStagedLeftover(entry.sourcePath, entry.targetPath, entry.expectedSha256);
    return true;
}

// Backs up the target before it is replaced. A backup this record's earlier, stopped run took is kept: it
// holds the bytes from before the update, while the target may since have been partly overwritten.
// True when the backup holds the target's bytes from before this record was first worked on.
bool backUpTarget(const PendingFileEntry& entry, const std::string& backupPath,
                  IPendingUpdateConsole& console, const PendingRun& run) {
    if (backupBelongsToRecord(backupPath, run.fingerprint)) {
        console.writeLine("Keeping backup from an interrupted run: " + backupPath);
        return true;
    }
    console.writeLine("Creating backup: " + backupPath);
    if (takeBackup(entry.targetPath, backupPath, run.fingerprint, run.settings.atStep) != 0) {
        console.writeLine("Warning: Failed to create backup.");
        return false;
    }
    return true;
}

// Checks one file and puts it in place. True when it was put in place by a move or a fallback copy, or
// an earlier run already did. The target is touched only after every check on the source has passed.
bool placePendingFile(const PendingFileEntry& entry, const std::string& installDirectory,
                      IPendingUpdateConsole& console, const PendingRun& run) {
    const auto say = [&console](const std::string& line) { console.writeLine(line); };
    say("\nProcessing: " + entry.targetName);
    say("Source: " + entry.sourcePath);
    say("Target: " + entry.targetPath);

    if (finishedByAnEarlierRun(entry, console)) {
        return true;
    }

    const PathLookupResult source = lookUpPath(entry.sourcePath);
    if (source.outcome == PathLookup::Missing) {
        say("Error: Temp file not found: " + entry.sourcePath);
        return false;
    }
    if (source.outcome == PathLookup::Failed) {
        say("Error: Could not check temp file: " + entry.sourcePath + errorSuffix(source.error));
        return false;
    }
    StagedFile staged;
    if (const unsigned long openError = staged.open(entry.sourcePath); openError != 0) {
        say("Error: Could not open temp file: " + entry.sourcePath + errorSuffix(openError));
        return false;
    }

    if (!entry.expectedSize.empty()) {
        const auto expected = parseExpectedSize(entry.expectedSize);
        if (!expected) {
            say("Error: Invalid expected size: " + entry.expectedSize);
            return false;
        }
        unsigned long long actual = 0;
        if (const unsigned long sizeError = staged.size(actual); sizeError != 0) {
            say("Error: Could not read size of " + entry.sourcePath + errorSuffix(sizeError));
            return false;
        }
        if (actual != *expected) {
            say("Error: Size mismatch - expected " + std::to_string(*expected) + ", actual " +
                std::to_string(actual));
            return false;
        }
    }

    if (!entry.expectedSha256.empty()) {
        say("Calculating SHA256 hash...");
        const std::string actual = staged.sha256();
        if (actual.empty()) {
            say("Error: Failed to calculate SHA256 hash for " + entry.sourcePath);
            return false;
        }
        say("Expected hash: " + hashPreview(entry.expectedSha256));
        say("Actual hash:   " + hashPreview(actual));
        // The writer records lower-case digits; any other spelling is a different value here.
        if (actual != entry.expectedSha256) {
            say("Error: Hash mismatch for " + entry.targetName);
            return false;
        }
    }

    say("Verification passed.");
    run.reach(PendingStep::Verified);

    const std::string backupPath = pendingBackupPath(installDirectory, entry.targetName);
    const PathLookupResult target = lookUpPath(entry.targetPath);
    if (target.outcome == PathLookup::Failed) {
        say("Error: Could not check target file: " + entry.targetPath + errorSuffix(target.error));
        return false;
    }
    // Only a backup taken for this record holds the target's bytes from before it; an older one may be older.
    bool backupTaken = false;
    if (target.outcome == PathLookup::Found) {
        backupTaken = backUpTarget(entry, backupPath, console, run);
    }

    say("Replacing file...");
    say("MoveFileA from: [" + entry.sourcePath + "]");
    say("MoveFileA to:   [" + entry.targetPath + "]");

    const PathLookupResult sourceAgain = lookUpPath(entry.sourcePath);
    if (sourceAgain.outcome == PathLookup::Missing) {
        say("Error: Source temp file no longer exists!");
        return false;
    }
    if (sourceAgain.outcome == PathLookup::Failed) {
        say("Error: Could not check temp file: " + entry.sourcePath + errorSuffix(sourceAgain.error));
        return false;
    }

    const std::string parent = parentDirectoryOf(entry.targetPath);
    const PathLookupResult directory = lookUpDirectory(parent);
    if (directory.outcome == PathLookup::Failed) {
        say("Error: Could not check target directory: " + parent + errorSuffix(directory.error));
        return false;
    }
    if (directory.outcome == PathLookup::Missing || !directory.directory) {
        say("Error: Target directory does not exist: " + parent);
        return false;
    }

    const unsigned long moveError = staged.placeAt(entry.targetPath, run.settings.atStep);
    if (moveError == 0) {
        staged.removeCopiedSource();
        say("Successfully updated: " + entry.targetName);
        return true;
    }
    say("Error: Failed to replace file. Error code: " + std::to_string(moveError));
    say(moveFailureCause(moveError));

    // A target that others hold open without delete sharing refuses a rename but may still take a copy.
    const unsigned long copyError = staged.copyOver(entry.targetPath);
    if (copyError == 0) {
        staged.removeCopiedSource();
        say("Fallback copy succeeded for: " + entry.targetName);
        return true;
    }
    say("Fallback copy failed. Error: " + std::to_string(copyError));

    // A backup from an earlier run may be older than the target, which the failed copy may have left
    // intact: it only stands in for a target that is not there.
    const bool mayRestore = backupTaken || lookUpPath(entry.targetPath).outcome == PathLookup::Missing;
    const PathLookupResult backup = lookUpPath(backupPath);
    if (backup.outcome == PathLookup::Found && mayRestore) {
        say("Attempting to restore backup from: " + backupPath);
        if (const unsigned long restoreError = restoreBackup(backupPath, entry.targetPath);
            restoreError == 0) {
            say("Backup restored successfully.");
        } else {
            say("Failed to restore backup. Error: " + std::to_string(restoreError));
        }
    } else if (backup.outcome == PathLookup::Failed) {
        say("Error: Could not check backup file: " + backupPath + errorSuffix(backup.error));
    }
    return false;
}

// Removes the registry record and the pending manifest once every file of the record is in place.
void clearPendingRecord(const std::string& manifestPath) {
    logger().info("Clearing registry self-update flags...");
    RegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_WRITE, key.put()) == ERROR_SUCCESS) {
        ::RegDeleteValueW(key.get(), kManifestValue);
        ::RegDeleteValueW(key.get(), kTimestampValue);
        key.reset();
        logger().info("Registry flags cleared successfully");
    } else {
        logger().warning("Failed to clear registry flags");
    }

    logger().debug("Deleting manifest file: " + manifestPath);
    if (::DeleteFileW(pathForWindows(manifestPath).c_str())) {
        logger().debug("Manifest file deleted successfully");
    } else {
        logger().warning("Failed to delete manifest file");
    }
}

} // namespace

bool standardInputIsConsole() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD mode = 0;
    return ::GetConsoleMode(input, &mode) != 0;
}

int processPendingSelfUpdate() {
    SystemConsole console;
    return processPendingSelfUpdate(console);
}

int processPendingSelfUpdate(const PendingRunSettings& settings) {
    SystemConsole console;
    return processPendingSelfUpdate(console, settings);
}

PendingRunSettings pendingRunSettingsForThisProgram() {
    PendingRunSettings settings;
    settings.trusted = trustedReleaseMode();
    settings.installFolder = installFolderOfRunningProgram();
    return settings;
}

namespace {

// One run at a time per installation: a second run waits a bounded time for the first, then works on
// what the first left (usually nothing). False, with the reason written, when the lock cannot be had.
bool takeRunLock(PendingRunLock& lock, const PendingRunSettings& settings, IPendingUpdateConsole& console) {
    const std::string name = pendingLockName(settings.installFolder);
    const auto waiting = [&console] {
        logger().info("Another self-update of this installation is running - waiting for it to finish");
        console.writeLine("Waiting for another self-update to finish...");
    };
    switch (lock.acquire(name, settings.lockWait, waiting)) {
    case PendingRunLock::Outcome::Acquired:
        return true;
    case PendingRunLock::Outcome::Busy:
        console.writeLine("Error: Another self-update is still running.");
        logger().error("Another self-update of this installation is still running - nothing was changed");
        return false;
    case PendingRunLock::Outcome::Failed:
        break;
    }
    console.writeLine("Error: Could not take the self-update lock.");
    logger().error("Could not take the self-update lock " + name + errorSuffix(lock.error()) +
                   " - nothing was changed");
    return false;
}

// A build that trusts only signed releases places nothing the record alone vouches for: every file needs
// its SHA-256, and everything written must land inside the folder this program is installed in.
bool trustedRecordAccepted(const PendingManifestLayout& layout, const PendingRunSettings& settings,
                           IPendingUpdateConsole& console) {
    std::string refusal;
    if (settings.installFolder.empty()) {
        refusal = "the folder this program is installed in is unknown";
    }
    for (const std::string& objectText : splitPendingFileObjects(layout.filesArrayText)) {
        const PendingFileEntry entry = readPendingFileEntry(objectText);
        if (refusal.empty() && entry.complete()) {
            refusal = trustedPlacementRefusal(
                entry, pendingBackupPath(layout.installDirectory, entry.targetName), settings.installFolder);
        }
    }
    if (refusal.empty()) {
        return true;
    }
    console.writeLine("Error: Refusing the pending self-update: " + refusal);
    logger().error("Refusing the pending self-update: " + refusal + " - nothing was changed");
    return false;
}

int pendingSelfUpdateSteps(IPendingUpdateConsole& console, const PendingRunSettings& settings) {
    const auto say = [&console](const std::string& line) { console.writeLine(line); };

    logger().info("=== Self-Update Processing Starting ===");
    console.open();
    say("VESK_Updater: Processing self-update...");
    logger().info("Console allocated for self-update processing");

    PendingRunLock lock;
    if (!takeRunLock(lock, settings, console)) {
        return 1;
    }

    std::string manifestPath;
    switch (readPendingRecord(manifestPath)) {
    case RecordLookup::NoKey:
        say("No pending self-update found in registry.");
        logger().info("No pending self-update found in registry - normal exit");
        return 0;
    case RecordLookup::NoPath:
        say("No manifest path found in registry.");
        logger().info("No manifest path found in registry - normal exit");
        return 0;
    case RecordLookup::Found:
        break;
    }

    say("Found manifest: " + manifestPath);
    logger().info("Manifest path from registry: " + manifestPath);

    std::string content;
    {
        // Text mode, as the writer produced it: line ends arrive as single line feeds.
        std::ifstream file(pathForWindows(manifestPath).c_str());
        if (!file.is_open()) {
            say("Error: Could not open manifest file.");
            logger().error("Could not open manifest file: " + manifestPath);
            return 1;
        }
        content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    // The record is UTF-8; an older writer may have left its strings in the system code page.
    if (!isValidUtf8(content)) {
        logger().warning("Pending manifest is not UTF-8 - reading it in the system code page: " +
                         manifestPath);
        content = codePageToUtf8(content);
    }
    say("Manifest loaded, processing files...");
    logger().info("Manifest loaded (" + std::to_string(content.size()) + " bytes)");

    const PendingManifestLayout layout = readPendingManifestLayout(content);
    if (layout.problem == PendingManifestProblem::NoInstallDirectory) {
        say("Error: No install directory found in manifest.");
        return 1;
    }
    say("Install directory: " + layout.installDirectory);
    // An existing backup folder is the normal case; a failure shows later as a failed backup copy.
    if (!settings.trusted ||
        pathLiesInside(pendingBackupDirectory(layout.installDirectory), settings.installFolder)) {
        ::CreateDirectoryW(pathForWindows(pendingBackupDirectory(layout.installDirectory)).c_str(), nullptr);
    }
    if (layout.problem == PendingManifestProblem::NoFilesKey) {
        say("Error: No files array found in manifest.");
        return 1;
    }
    if (layout.problem == PendingManifestProblem::InvalidFilesArray) {
        say("Error: Invalid files array in manifest.");
        return 1;
    }

    if (settings.trusted && !trustedRecordAccepted(layout, settings, console)) {
        return 1;
    }

    const PendingRun run{settings, pendingRecordFingerprint(content)};
    std::vector<std::string> failedNames;
    int processed = 0;
    int successful = 0;
    for (const std::string& objectText : splitPendingFileObjects(layout.filesArrayText)) {
        const PendingFileEntry entry = readPendingFileEntry(objectText);
        for (const std::string& line : describeParsedFileObject(objectText, entry)) {
            say(line);
        }
        if (!entry.complete()) {
            for (const std::string& line : describeMissingFileInformation(entry)) {
                say(line);
            }
            continue;
        }
        ++processed;
        if (placePendingFile(entry, layout.installDirectory, console, run)) {
            ++successful;
        } else {
            failedNames.push_back(entry.targetName);
        }
    }
    run.reach(PendingStep::FilesDone);

    // Only a record whose every file is in place is done with; otherwise the next run tries again.
    if (successful == processed) {
        clearPendingRecord(manifestPath);
    } else {
        say("\nPending update kept for the next run.");
        logger().error(keptRecordLine(failedNames));
    }

    say("\nSelf-update completed!");
    say("Processed: " + std::to_string(processed) + " files");
    say("Successful: " + std::to_string(successful) + " files");

    logger().info("=== Self-Update Processing Summary ===");
    logger().info("Files processed: " + std::to_string(processed));
    logger().info("Files successful: " + std::to_string(successful));
    if (successful == processed) {
        logger().info("Self-update processing completed successfully");
    } else {
        logger().error("Self-update processing completed with errors");
    }

    // The files are done with: a run waiting for the lock need not wait for somebody to press a key.
    lock.release();
    if (successful > 0) {
        say("\nPress any key to continue...");
        console.waitForKey();
    }
    return successful == processed ? 0 : 1;
}

} // namespace

int processPendingSelfUpdate(IPendingUpdateConsole& console) {
    return processPendingSelfUpdate(console, pendingRunSettingsForThisProgram());
}

int processPendingSelfUpdate(IPendingUpdateConsole& console, const PendingRunSettings& settings) {
    // The mode's exit code is its only report to whoever started it: anything that escapes is a failure.
    try {
        return pendingSelfUpdateSteps(console, settings);
    } catch (...) {
        logUnexpectedError("Self-update processing");
        return 1;
    }
}

} // namespace vesk::updater
