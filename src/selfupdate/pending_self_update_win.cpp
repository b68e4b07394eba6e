#include "selfupdate/pending_self_update_win.h"

#include "core/handles_win.h"
#include "core/logger.h"
#include "core/wide_text.h"
#include "integrity/file_hash.h"
#include "selfupdate/path_lookup_win.h"
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

// Checks one file and puts it in place. True when it was put in place by a move or a fallback copy.
// The target is touched only after every check on the source has passed.
bool placePendingFile(const PendingFileEntry& entry, const std::string& installDirectory,
                      IPendingUpdateConsole& console) {
    const auto say = [&console](const std::string& line) { console.writeLine(line); };
    say("\nProcessing: " + entry.targetName);
    say("Source: " + entry.sourcePath);
    say("Target: " + entry.targetPath);

    const PathLookupResult source = lookUpPath(entry.sourcePath);
    if (source.outcome == PathLookup::Missing) {
        say("Error: Temp file not found: " + entry.sourcePath);
        return false;
    }
    if (source.outcome == PathLookup::Failed) {
        say("Error: Could not check temp file: " + entry.sourcePath + errorSuffix(source.error));
        return false;
    }

    if (!entry.expectedSize.empty()) {
        const auto expected = parseExpectedSize(entry.expectedSize);
        if (!expected) {
            say("Error: Invalid expected size: " + entry.expectedSize);
            return false;
        }
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!::GetFileAttributesExW(pathForWindows(entry.sourcePath).c_str(), GetFileExInfoStandard, &data)) {
            say("Error: Could not read size of " + entry.sourcePath + errorSuffix(::GetLastError()));
            return false;
        }
        const unsigned long long actual =
            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (actual != *expected) {
            say("Error: Size mismatch - expected " + std::to_string(*expected) + ", actual " +
                std::to_string(actual));
            return false;
        }
    }

    if (!entry.expectedSha256.empty()) {
        say("Calculating SHA256 hash...");
        const std::string actual = computeFileSha256(entry.sourcePath);
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

    const std::string backupPath = pendingBackupPath(installDirectory, entry.targetName);
    const PathLookupResult target = lookUpPath(entry.targetPath);
    if (target.outcome == PathLookup::Failed) {
        say("Error: Could not check target file: " + entry.targetPath + errorSuffix(target.error));
        return false;
    }
    // Only a backup taken now holds the target's current bytes; one left by an earlier run may be older.
    bool backupTaken = false;
    if (target.outcome == PathLookup::Found) {
        say("Creating backup: " + backupPath);
        backupTaken = ::CopyFileW(pathForWindows(entry.targetPath).c_str(),
                                  pathForWindows(backupPath).c_str(), FALSE) != 0;
        if (!backupTaken) {
            say("Warning: Failed to create backup.");
        }
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

    if (::MoveFileExW(pathForWindows(entry.sourcePath).c_str(), pathForWindows(entry.targetPath).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        say("Successfully updated: " + entry.targetName);
        return true;
    }
    const unsigned long moveError = ::GetLastError();
    say("Error: Failed to replace file. Error code: " + std::to_string(moveError));
    say(moveFailureCause(moveError));

    // A target that others hold open without delete sharing refuses a rename but may still take a copy.
    if (::CopyFileW(pathForWindows(entry.sourcePath).c_str(), pathForWindows(entry.targetPath).c_str(),
                    FALSE)) {
        ::DeleteFileW(pathForWindows(entry.sourcePath).c_str());
        say("Fallback copy succeeded for: " + entry.targetName);
        return true;
    }
    say("Fallback copy failed. Error: " + std::to_string(::GetLastError()));

    // A backup from an earlier run may be older than the target, which the failed copy may have left
    // intact: it only stands in for a target that is not there.
    const bool mayRestore = backupTaken || lookUpPath(entry.targetPath).outcome == PathLookup::Missing;
    const PathLookupResult backup = lookUpPath(backupPath);
    if (backup.outcome == PathLookup::Found && mayRestore) {
        say("Attempting to restore backup from: " + backupPath);
        if (::CopyFileW(pathForWindows(backupPath).c_str(), pathForWindows(entry.targetPath).c_str(),
                        FALSE)) {
            say("Backup restored successfully.");
        } else {
            say("Failed to restore backup. Error: " + std::to_string(::GetLastError()));
        }
    } else if (backup.outcome == PathLookup::Failed) {
        say("Error: Could not check backup file: " + backupPath + errorSuffix(backup.error));
    }
    return false;
}

// Removes the registry record and the pending manifest once the file loop has run, so that files that
// failed are not retried by a later run.
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

namespace {

int pendingSelfUpdateSteps(IPendingUpdateConsole& console) {
    const auto say = [&console](const std::string& line) { console.writeLine(line); };

    logger().info("=== Self-Update Processing Starting ===");
    console.open();
    say("VESK_Updater: Processing self-update...");
    logger().info("Console allocated for self-update processing");

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
    ::CreateDirectoryW(pathForWindows(pendingBackupDirectory(layout.installDirectory)).c_str(), nullptr);
    if (layout.problem == PendingManifestProblem::NoFilesKey) {
        say("Error: No files array found in manifest.");
        return 1;
    }
    if (layout.problem == PendingManifestProblem::InvalidFilesArray) {
        say("Error: Invalid files array in manifest.");
        return 1;
    }

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
        if (placePendingFile(entry, layout.installDirectory, console)) {
            ++successful;
        }
    }

    clearPendingRecord(manifestPath);

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

    if (successful > 0) {
        say("\nPress any key to continue...");
        console.waitForKey();
    }
    return successful == processed ? 0 : 1;
}

} // namespace

int processPendingSelfUpdate(IPendingUpdateConsole& console) {
    // The mode's exit code is its only report to whoever started it: anything that escapes is a failure.
    try {
        return pendingSelfUpdateSteps(console);
    } catch (...) {
        logUnexpectedError("Self-update processing");
        return 1;
    }
}

} // namespace vesk::updater
