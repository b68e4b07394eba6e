#include "pending_test_helpers.h"
#include "selfupdate/pending_self_update_win.h"
#include "support/temp_dir.h"

#include "core/handles_win.h"
#include "core/wide_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

using namespace vesk::updater;
using namespace vesk::test;

namespace {

const char kRecordKey[] = "SOFTWARE\\VESK\\Updater";
const char kManifestValue[] = "PendingSelfUpdateManifest";
const char kTimestampValue[] = "PendingSelfUpdateTimestamp";

// Published SHA-256 test vector.
const char kAbc[] = "abc";
const char kAbcSha256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class CapturingConsole : public IPendingUpdateConsole {
public:
    void open() override { ++opened; }
    void writeLine(const std::string& text) override {
        EXPECT_EQ(opened, 1) << "a line was written before the console was opened: " << text;
        lines.push_back(text);
    }
    void waitForKey() override { ++keyWaits; }

    bool has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    bool hasPrefix(const std::string& prefix) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }

    std::vector<std::string> lines;
    int opened = 0;
    int keyWaits = 0;
};

struct FileObject {
    std::string source;
    std::string name;
    std::string target;
    std::string sha256;   // omitted when empty
    std::string sizeJson; // raw JSON value, omitted when empty
};

std::string objectJson(const FileObject& file) {
    std::string json = "{\"source_path\": \"" + jsonEscape(file.source) + "\", \"target_name\": \"" +
                       jsonEscape(file.name) + "\", \"target_path\": \"" + jsonEscape(file.target) + "\"";
    if (!file.sha256.empty()) {
        json += ", \"expected_sha256\": \"" + file.sha256 + "\"";
    }
    if (!file.sizeJson.empty()) {
        json += ", \"expected_size\": " + file.sizeJson;
    }
    return json + "}";
}

std::string manifestJson(const std::string& installDirectory, const std::vector<FileObject>& files) {
    std::string json =
        "{\n  \"install_directory\": \"" + jsonEscape(installDirectory) + "\",\n  \"files\": [";
    for (size_t i = 0; i < files.size(); ++i) {
        json += (i == 0 ? "\n    " : ",\n    ") + objectJson(files[i]);
    }
    return json + "\n  ]\n}\n";
}

class PendingSelfUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        clearRecord();
        install = dir.file("install");
        staging = dir.file("staging");
        ASSERT_TRUE(::CreateDirectoryA(install.c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryA(staging.c_str(), nullptr));
        manifestPath = dir.file("pending_manifest.json");
    }
    void TearDown() override { clearRecord(); }

    static void clearRecord() {
        deleteMachineValue(kRecordKey, kManifestValue);
        deleteMachineValue(kRecordKey, kTimestampValue);
    }

    // Writes the pending manifest and the registry record that points at it, as the product's other
    // programs leave them.
    void writeRecord(const std::string& manifestText) {
        ASSERT_TRUE(writeFileBytes(manifestPath, manifestText));
        ASSERT_TRUE(setMachineString(kRecordKey, kManifestValue, manifestPath));
        ASSERT_TRUE(setMachineString(kRecordKey, kTimestampValue, "2026-01-05T07:08:09Z"));
    }

    bool recordPresent() const {
        return machineValueExists(kRecordKey, kManifestValue) &&
               machineValueExists(kRecordKey, kTimestampValue) && fileExists(manifestPath);
    }
    bool recordGone() const {
        return !machineValueExists(kRecordKey, kManifestValue) &&
               !machineValueExists(kRecordKey, kTimestampValue) && !fileExists(manifestPath);
    }

    std::string stage(const std::string& name, const std::string& bytes) {
        const std::string path = staging + "\\" + name;
        EXPECT_TRUE(writeFileBytes(path, bytes));
        return path;
    }

    // Records a pending update of libsodium.dll into target and runs it while another program holds the
    // target open for reading only: it can be read (and backed up) but neither renamed over nor written.
    // heldBackup, when given, is held the same way, so the run cannot refresh it.
    int runSodiumUpdateWithTargetHeld(const std::string& target, const std::string& heldBackup = "") {
        const FileObject file{stage("libsodium.dll.new", kAbc), "libsodium.dll", target, "", "3"};
        writeRecord(manifestJson(install, {file}));
        FileHandle heldTarget(
            ::CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(heldTarget);
        FileHandle backup;
        if (!heldBackup.empty()) {
            backup.reset(::CreateFileA(heldBackup.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
            EXPECT_TRUE(backup);
        }
        const int result = processPendingSelfUpdate(console);
        sourceStillThere = fileExists(file.source);
        return result;
    }

    TempDir dir;
    std::string install;
    std::string staging;
    std::string manifestPath;
    CapturingConsole console;
    bool sourceStillThere = false;
};

} // namespace

TEST_F(PendingSelfUpdate, MovesVerifiedFilesIntoPlaceWithBackupsAndClearsTheRecord) {
    ASSERT_TRUE(writeFileBytes(install + "\\Updater.exe", "old updater"));
    ASSERT_TRUE(::CreateDirectoryA((install + "\\plugins").c_str(), nullptr));
    const FileObject replaced{stage("Updater.exe.new", kAbc), "Updater.exe", install + "\\Updater.exe",
                              kAbcSha256, "3"};
    const FileObject added{stage("extra.dll.new", "new-core"), "extra.dll", install + "\\plugins\\extra.dll",
                           "", "\"8\""};
    // Written with CR LF line ends: the text-mode read counts each line end as one character.
    std::string manifest = manifestJson(install, {replaced, added});
    std::string withCrLf;
    for (const char c : manifest) {
        withCrLf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    writeRecord(withCrLf);
    const LogTail log;

    EXPECT_EQ(processPendingSelfUpdate(console), 0);

    const std::string backupPath = install + "\\backup\\Updater.exe.backup";
    const std::vector<std::string> expected = {
        "VESK_Updater: Processing self-update...",
        "Found manifest: " + manifestPath,
        "Manifest loaded, processing files...",
        "Install directory: " + install,
        "\n=== Debug: JSON Parsing ===",
        "Raw JSON object: " + objectJson(replaced).substr(0, 200) + "...",
        "Parsed source_path: [" + replaced.source + "]",
        "Parsed target_name: [Updater.exe]",
        "Parsed target_path: [" + replaced.target + "]",
        "\nProcessing: Updater.exe",
        "Source: " + replaced.source,
        "Target: " + replaced.target,
        "Calculating SHA256 hash...",
        "Expected hash: ba7816bf8f01cfea...",
        "Actual hash:   ba7816bf8f01cfea...",
        "Verification passed.",
        "Creating backup: " + backupPath,
        "Replacing file...",
        "MoveFileA from: [" + replaced.source + "]",
        "MoveFileA to:   [" + replaced.target + "]",
        "Successfully updated: Updater.exe",
        "\n=== Debug: JSON Parsing ===",
        "Raw JSON object: " + objectJson(added).substr(0, 200) + "...",
        "Parsed source_path: [" + added.source + "]",
        "Parsed target_name: [extra.dll]",
        "Parsed target_path: [" + added.target + "]",
        "\nProcessing: extra.dll",
        "Source: " + added.source,
        "Target: " + added.target,
        "Verification passed.",
        "Replacing file...",
        "MoveFileA from: [" + added.source + "]",
        "MoveFileA to:   [" + added.target + "]",
        "Successfully updated: extra.dll",
        "\nSelf-update completed!",
        "Processed: 2 files",
        "Successful: 2 files",
        "\nPress any key to continue...",
    };
    EXPECT_EQ(console.lines, expected);
    EXPECT_EQ(console.keyWaits, 1);

    EXPECT_EQ(readFileBytes(replaced.target), kAbc);
    EXPECT_EQ(readFileBytes(backupPath), "old updater");
    EXPECT_EQ(readFileBytes(added.target), "new-core");
    EXPECT_FALSE(fileExists(install + "\\backup\\extra.dll.backup")); // nothing was there to back up
    EXPECT_FALSE(fileExists(replaced.source));
    EXPECT_FALSE(fileExists(added.source));
    EXPECT_TRUE(recordGone());

    EXPECT_TRUE(log.hasLine("INFO", "=== Self-Update Processing Starting ==="));
    EXPECT_TRUE(log.hasLine("INFO", "Console allocated for self-update processing"));
    EXPECT_TRUE(log.hasLine("INFO", "Found pending self-update registry entry"));
    EXPECT_TRUE(log.hasLine("INFO", "Manifest path from registry: " + manifestPath));
    EXPECT_TRUE(log.hasLine("INFO", "Manifest loaded (" + std::to_string(manifest.size()) + " bytes)"));
    EXPECT_TRUE(log.hasLine("INFO", "Clearing registry self-update flags..."));
    EXPECT_TRUE(log.hasLine("INFO", "Registry flags cleared successfully"));
    EXPECT_TRUE(log.hasLine("DEBUG", "Deleting manifest file: " + manifestPath));
    EXPECT_TRUE(log.hasLine("DEBUG", "Manifest file deleted successfully"));
    EXPECT_TRUE(log.hasLine("INFO", "=== Self-Update Processing Summary ==="));
    EXPECT_TRUE(log.hasLine("INFO", "Files processed: 2"));
    EXPECT_TRUE(log.hasLine("INFO", "Files successful: 2"));
    EXPECT_TRUE(log.hasLine("INFO", "Self-update processing completed successfully"));
}

TEST_F(PendingSelfUpdate, AnUpperCaseExpectedHashNeverMatches) {
    ASSERT_TRUE(writeFileBytes(install + "\\a.dll", "old"));
    std::string upper = kAbcSha256;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return static_cast<char>(toupper(c)); });
    const FileObject file{stage("a.dll.new", kAbc), "a.dll", install + "\\a.dll", upper, ""};
    writeRecord(manifestJson(install, {file}));
    const LogTail log;

    EXPECT_EQ(processPendingSelfUpdate(console), 1);

    EXPECT_TRUE(console.has("Expected hash: BA7816BF8F01CFEA..."));
    EXPECT_TRUE(console.has("Actual hash:   ba7816bf8f01cfea..."));
    EXPECT_TRUE(console.has("Error: Hash mismatch for a.dll"));
    EXPECT_FALSE(console.has("Verification passed."));
    EXPECT_TRUE(console.has("Processed: 1 files"));
    EXPECT_TRUE(console.has("Successful: 0 files"));
    EXPECT_EQ(console.keyWaits, 0);
    EXPECT_FALSE(console.has("\nPress any key to continue..."));
    // A failed check leaves everything as it was, the record included, for the next run.
    EXPECT_EQ(readFileBytes(file.target), "old");
    EXPECT_TRUE(fileExists(file.source));
    EXPECT_FALSE(fileExists(install + "\\backup\\a.dll.backup"));
    EXPECT_TRUE(recordPresent());
    EXPECT_TRUE(log.hasLine("ERROR", "Pending self-update kept for the next run; not placed: a.dll"));
    EXPECT_TRUE(log.hasLine("ERROR", "Self-update processing completed with errors"));
}

TEST_F(PendingSelfUpdate, SizeChecksCompareDecimalSizesAndRejectUnreadableOnes) {
    const FileObject wrongSize{stage("a.new", kAbc), "a.dll", install + "\\a.dll", "", "5"};
    const FileObject tooLarge{stage("b.new", kAbc), "b.dll", install + "\\b.dll", "", "\"4294967296\""};
    const FileObject negative{stage("c.new", kAbc), "c.dll", install + "\\c.dll", "", "-3"};
    const FileObject good{stage("d.new", kAbc), "d.dll", install + "\\d.dll", kAbcSha256, "\"3\""};
    writeRecord(manifestJson(install, {wrongSize, tooLarge, negative, good}));

    EXPECT_EQ(processPendingSelfUpdate(console), 1);

    EXPECT_TRUE(console.has("Error: Size mismatch - expected 5, actual 3"));
    EXPECT_TRUE(console.has("Error: Invalid expected size: 4294967296"));
    EXPECT_TRUE(console.has("Error: Invalid expected size: -3"));
    EXPECT_TRUE(console.has("Successfully updated: d.dll"));
    EXPECT_TRUE(console.has("Processed: 4 files"));
    EXPECT_TRUE(console.has("Successful: 1 files"));
    EXPECT_EQ(console.keyWaits, 1);
    for (const auto* file : {&wrongSize, &tooLarge, &negative}) {
        EXPECT_TRUE(fileExists(file->source)) << file->source;
        EXPECT_FALSE(fileExists(file->target)) << file->target;
    }
    EXPECT_EQ(readFileBytes(good.target), kAbc);
}

TEST_F(PendingSelfUpdate, AMissingSourceOrTargetDirectoryFailsThatFileOnly) {
    const std::string missingDirectory = install + "\\no-such-folder";
    const FileObject noDirectory{stage("a.new", kAbc), "a.dll", missingDirectory + "\\a.dll", kAbcSha256,
                                 "3"};
    const FileObject noSource{staging + "\\never-written.new", "b.dll", install + "\\b.dll", "", ""};
    writeRecord(manifestJson(install, {noDirectory, noSource}));

    EXPECT_EQ(processPendingSelfUpdate(console), 1);

    EXPECT_TRUE(console.has("Verification passed."));
    EXPECT_TRUE(console.has("Error: Target directory does not exist: " + missingDirectory));
    EXPECT_TRUE(console.has("Error: Temp file not found: " + noSource.source));
    EXPECT_TRUE(console.has("Processed: 2 files"));
    EXPECT_TRUE(console.has("Successful: 0 files"));
    EXPECT_TRUE(fileExists(noDirectory.source));
    EXPECT_FALSE(fileExists(missingDirectory));
    EXPECT_TRUE(recordPresent());
}

TEST_F(PendingSelfUpdate, ATargetInUseIsReplacedByACopy) {
    const std::string target = install + "\\libcurl.dll";
    ASSERT_TRUE(writeFileBytes(target, "old library"));
    const FileObject file{stage("libcurl.dll.new", kAbc), "libcurl.dll", target, kAbcSha256, "3"};
    writeRecord(manifestJson(install, {file}));

    int result = -1;
    {
        // Held the way a program holds a loaded library: readers and writers welcome, no renaming over it.
        FileHandle inUse(::CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(inUse);
        result = processPendingSelfUpdate(console);
    }

    EXPECT_EQ(result, 0);
    EXPECT_TRUE(console.has("Error: Failed to replace file. Error code: 5"));
    EXPECT_TRUE(console.has("  Cause: Access denied - file may be in use"));
    EXPECT_TRUE(console.has("Fallback copy succeeded for: libcurl.dll"));
    EXPECT_TRUE(console.has("Successful: 1 files"));
    EXPECT_EQ(readFileBytes(target), kAbc);
    EXPECT_EQ(readFileBytes(install + "\\backup\\libcurl.dll.backup"), "old library");
    EXPECT_FALSE(fileExists(file.source)); // the copy's source is deleted like a moved one
    EXPECT_TRUE(recordGone());
}

TEST_F(PendingSelfUpdate, ATargetLockedAgainstEveryoneFailsAndTheBackupIsTried) {
    const std::string target = install + "\\zlib1.dll";
    ASSERT_TRUE(writeFileBytes(target, "old zlib"));
    const FileObject file{stage("zlib1.dll.new", kAbc), "zlib1.dll", target, kAbcSha256, ""};
    writeRecord(manifestJson(install, {file}));

    int result = -1;
    {
        FileHandle locked(::CreateFileA(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locked);
        result = processPendingSelfUpdate(console);
    }

    EXPECT_EQ(result, 1);
    const std::string backupPath = install + "\\backup\\zlib1.dll.backup";
    // Not even the backup can be read from a file nobody may share.
    EXPECT_TRUE(console.has("Warning: Failed to create backup."));
    EXPECT_TRUE(console.hasPrefix("Error: Failed to replace file. Error code: "));
    EXPECT_TRUE(console.has("Fallback copy failed. Error: 32"));
    EXPECT_FALSE(console.hasPrefix("Attempting to restore backup from: "));
    EXPECT_EQ(readFileBytes(target), "old zlib");
    EXPECT_TRUE(fileExists(file.source));
    EXPECT_EQ(console.keyWaits, 0);
}

TEST_F(PendingSelfUpdate, AFailedCopyTriesTheBackupTakenNow) {
    const std::string target = install + "\\libsodium.dll";
    ASSERT_TRUE(writeFileBytes(target, "old sodium"));
    const int result = runSodiumUpdateWithTargetHeld(target);

    EXPECT_EQ(result, 1);
    const std::string backupPath = install + "\\backup\\libsodium.dll.backup";
    EXPECT_TRUE(console.has("Creating backup: " + backupPath));
    EXPECT_TRUE(console.has("Error: Failed to replace file. Error code: 5"));
    EXPECT_TRUE(console.has("Fallback copy failed. Error: 32"));
    EXPECT_TRUE(console.has("Attempting to restore backup from: " + backupPath));
    EXPECT_TRUE(console.has("Failed to restore backup. Error: 32"));
    EXPECT_EQ(readFileBytes(target), "old sodium");
    EXPECT_EQ(readFileBytes(backupPath), "old sodium");
    EXPECT_TRUE(sourceStillThere);
    EXPECT_TRUE(recordPresent());
}

TEST_F(PendingSelfUpdate, ABackupLeftByAnEarlierRunIsNeverPutBackOverTheTarget) {
    const std::string target = install + "\\libsodium.dll";
    ASSERT_TRUE(writeFileBytes(target, "current sodium"));
    const std::string backupPath = install + "\\backup\\libsodium.dll.backup";
    ASSERT_TRUE(::CreateDirectoryA((install + "\\backup").c_str(), nullptr));
    ASSERT_TRUE(writeFileBytes(backupPath, "stale sodium"));
    // Readers welcome, renames not: this run cannot refresh the old backup, yet could still copy it.
    const int result = runSodiumUpdateWithTargetHeld(target, backupPath);

    EXPECT_EQ(result, 1);
    EXPECT_TRUE(console.has("Warning: Failed to create backup."));
    EXPECT_TRUE(console.has("Fallback copy failed. Error: 32"));
    EXPECT_FALSE(console.hasPrefix("Attempting to restore backup from: "));
    EXPECT_EQ(readFileBytes(target), "current sodium");
    EXPECT_EQ(readFileBytes(backupPath), "stale sodium");
}

TEST_F(PendingSelfUpdate, AStagedFileThatCannotBeHeldAgainstWritersTouchesNothing) {
    const std::string target = install + "\\libsodium.dll";
    ASSERT_TRUE(writeFileBytes(target, "old sodium"));
    const FileObject file{stage("libsodium.dll.new", kAbc), "libsodium.dll", target, kAbcSha256, "3"};
    writeRecord(manifestJson(install, {file}));
    int result = -1;
    {
        // Another program writes to the staged file: its bytes could change after they were checked.
        FileHandle writer(::CreateFileA(file.source.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                        nullptr));
        ASSERT_TRUE(writer);
        result = processPendingSelfUpdate(console);
    }

    EXPECT_EQ(result, 1);
    EXPECT_TRUE(console.has("Error: Could not open temp file: " + file.source + " (error 32)"));
    EXPECT_FALSE(console.hasPrefix("Creating backup: "));
    EXPECT_EQ(readFileBytes(target), "old sodium");
    EXPECT_TRUE(fileExists(file.source));
    EXPECT_TRUE(recordPresent());
}

TEST_F(PendingSelfUpdate, PathsThatCannotBeLookedUpFailTheirFileAndTheRunGoesOn) {
    // A name the file system refuses makes the existence test fail with an error other than "not found".
    const FileObject badSource{staging + "\\bad|name.new", "a.dll", install + "\\a.dll", "", ""};
    const FileObject badTarget{stage("b.new", kAbc), "b.dll", install + "\\b|d.dll", "", ""};
    const FileObject good{stage("c.new", kAbc), "c.dll", install + "\\c.dll", "", ""};
    writeRecord(manifestJson(install, {badSource, badTarget, good}));

    EXPECT_EQ(processPendingSelfUpdate(console), 1);

    EXPECT_TRUE(console.has("Error: Could not check temp file: " + badSource.source + " (error 123)"));
    EXPECT_TRUE(console.has("Error: Could not check target file: " + badTarget.target + " (error 123)"));
    EXPECT_TRUE(console.has("Successfully updated: c.dll"));
    EXPECT_TRUE(console.has("Processed: 3 files"));
    EXPECT_TRUE(console.has("Successful: 1 files"));
    EXPECT_TRUE(fileExists(badTarget.source));
    EXPECT_TRUE(recordPresent());
}

TEST_F(PendingSelfUpdate, AnEmptyFilesArrayCompletesWithoutAPrompt) {
    writeRecord("{\"install_directory\": \"" + jsonEscape(install) + "\", \"files\": []}");
    const LogTail log;

    EXPECT_EQ(processPendingSelfUpdate(console), 0);

    EXPECT_TRUE(console.has("Processed: 0 files"));
    EXPECT_TRUE(console.has("Successful: 0 files"));
    EXPECT_EQ(console.keyWaits, 0);
    EXPECT_EQ(console.lines.back(), "Successful: 0 files");
    EXPECT_TRUE(fileExists(install + "\\backup"));
    EXPECT_TRUE(recordGone());
    EXPECT_TRUE(log.hasLine("INFO", "Self-update processing completed successfully"));
}

TEST_F(PendingSelfUpdate, AnObjectWithoutTargetPathIsReportedAndNotCounted) {
    const std::string source = stage("a.new", kAbc);
    writeRecord("{\"install_directory\": \"" + jsonEscape(install) + "\", \"files\": [{\"source_path\": \"" +
                jsonEscape(source) + "\", \"target_name\": \"a.dll\"}]}");

    EXPECT_EQ(processPendingSelfUpdate(console), 0);

    EXPECT_TRUE(console.has("Error: Missing file information in manifest object."));
    EXPECT_TRUE(console.has("sourcePath empty: NO"));
    EXPECT_TRUE(console.has("targetName empty: NO"));
    EXPECT_TRUE(console.has("targetPath empty: YES"));
    EXPECT_FALSE(console.hasPrefix("\nProcessing: "));
    EXPECT_TRUE(console.has("Processed: 0 files"));
    EXPECT_TRUE(fileExists(source));
    EXPECT_TRUE(recordGone());
}

TEST_F(PendingSelfUpdate, AManifestThatCannotBeUsedKeepsTheRecordForTheNextRun) {
    struct Case {
        std::string manifest;
        std::string errorLine;
    };
    const std::string installJson = "\"install_directory\": \"" + jsonEscape(install) + "\"";
    const std::vector<Case> cases = {
        {"{\"files\": []}", "Error: No install directory found in manifest."},
        {"{" + installJson + ", \"file_list\": []}", "Error: No files array found in manifest."},
        {"{" + installJson + ", \"files\": {}}", "Error: Invalid files array in manifest."},
        {"{" + installJson + ", \"files\": [{\"source_path\": \"x\"}",
         "Error: Invalid files array in manifest."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manifest);
        CapturingConsole runConsole;
        writeRecord(c.manifest);
        EXPECT_EQ(processPendingSelfUpdate(runConsole), 1);
        EXPECT_EQ(runConsole.lines.back(), c.errorLine);
        EXPECT_FALSE(runConsole.hasPrefix("\nSelf-update completed!"));
        EXPECT_TRUE(recordPresent());
    }
}

TEST_F(PendingSelfUpdate, AManifestFileThatCannotBeOpenedKeepsTheRecord) {
    ASSERT_TRUE(setMachineString(kRecordKey, kManifestValue, manifestPath)); // the file was never written
    ASSERT_TRUE(setMachineString(kRecordKey, kTimestampValue, "t"));
    const LogTail log;

    EXPECT_EQ(processPendingSelfUpdate(console), 1);

    EXPECT_EQ(console.lines.back(), "Error: Could not open manifest file.");
    EXPECT_TRUE(console.has("Found manifest: " + manifestPath));
    EXPECT_TRUE(log.hasLine("ERROR", "Could not open manifest file: " + manifestPath));
    EXPECT_TRUE(machineValueExists(kRecordKey, kManifestValue));
    EXPECT_TRUE(machineValueExists(kRecordKey, kTimestampValue));
}

TEST_F(PendingSelfUpdate, NoUsableRecordMeansNothingToDo) {
    {
        SCOPED_TRACE("value missing");
        CapturingConsole runConsole;
        const LogTail log;
        EXPECT_EQ(processPendingSelfUpdate(runConsole), 0);
        EXPECT_EQ(runConsole.lines, (std::vector<std::string>{"VESK_Updater: Processing self-update...",
                                                              "No manifest path found in registry."}));
        EXPECT_TRUE(log.hasLine("INFO", "No manifest path found in registry - normal exit"));
    }
    {
        SCOPED_TRACE("value empty");
        CapturingConsole runConsole;
        ASSERT_TRUE(setMachineString(kRecordKey, kManifestValue, ""));
        EXPECT_EQ(processPendingSelfUpdate(runConsole), 0);
        EXPECT_EQ(runConsole.lines.back(), "No manifest path found in registry.");
    }
    {
        // Longer than any path: never read past the buffer, never cut to a wrong path.
        SCOPED_TRACE("value too long");
        CapturingConsole runConsole;
        ASSERT_TRUE(setMachineString(kRecordKey, kManifestValue, "C:\\" + std::string(32767 * 3, 'p')));
        EXPECT_EQ(processPendingSelfUpdate(runConsole), 0);
        EXPECT_EQ(runConsole.lines.back(), "No manifest path found in registry.");
    }
    {
        // Raw bytes without a terminating NUL, longer than any path.
        SCOPED_TRACE("value without terminator");
        CapturingConsole runConsole;
        RegKey key;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                    key.put(), nullptr),
                  ERROR_SUCCESS);
        const std::string bytes(32767 * 3, 'p');
        ASSERT_EQ(::RegSetValueExA(key.get(), kManifestValue, 0, REG_BINARY,
                                   reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        EXPECT_EQ(processPendingSelfUpdate(runConsole), 0);
        EXPECT_EQ(runConsole.lines.back(), "No manifest path found in registry.");
    }
    {
        SCOPED_TRACE("key missing");
        ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kRecordKey, 0, 0);
        CapturingConsole runConsole;
        const LogTail log;
        EXPECT_EQ(processPendingSelfUpdate(runConsole), 0);
        EXPECT_EQ(runConsole.lines, (std::vector<std::string>{"VESK_Updater: Processing self-update...",
                                                              "No pending self-update found in registry."}));
        EXPECT_TRUE(log.hasLine("INFO", "No pending self-update found in registry - normal exit"));
    }
}

TEST_F(PendingSelfUpdate, AFileThatFailedKeepsTheRecordAndTheNextRunPlacesIt) {
    const std::string target = install + "\\libsodium.dll";
    ASSERT_TRUE(writeFileBytes(target, "old sodium"));
    EXPECT_EQ(runSodiumUpdateWithTargetHeld(target), 1);
    EXPECT_TRUE(console.has("\nPending update kept for the next run."));
    EXPECT_TRUE(recordPresent());
    ASSERT_TRUE(sourceStillThere);
    // Something changes the target between the runs: the backup still holds what was there at first.
    ASSERT_TRUE(writeFileBytes(target, "changed since"));
    CapturingConsole second;
    const LogTail log;

    EXPECT_EQ(processPendingSelfUpdate(second), 0);

    const std::string backupPath = install + "\\backup\\libsodium.dll.backup";
    EXPECT_TRUE(second.has("Keeping backup from an interrupted run: " + backupPath));
    EXPECT_TRUE(second.has("Successfully updated: libsodium.dll"));
    EXPECT_EQ(readFileBytes(target), kAbc);
    EXPECT_EQ(readFileBytes(backupPath), "old sodium");
    EXPECT_TRUE(recordGone());
    EXPECT_TRUE(log.hasLine("INFO", "Registry flags cleared successfully"));
}

TEST_F(PendingSelfUpdate, OneRunAtATimePerInstallation) {
    writeRecord(
        manifestJson(install, {{stage("a.new", kAbc), "a.dll", install + "\\a.dll", kAbcSha256, ""}}));
    PendingRunSettings settings;
    settings.installFolder = install;
    settings.lockWait = std::chrono::milliseconds(300);
    // Another run holds the lock for longer than this run waits, then dies holding it.
    KernelHandle holding(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    KernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread other([&] {
        KernelHandle lock(::CreateMutexW(nullptr, TRUE, widen(pendingLockName(install)).c_str()));
        ::SetEvent(holding.get());
        ::WaitForSingleObject(release.get(), INFINITE);
    });
    ASSERT_EQ(::WaitForSingleObject(holding.get(), 10000), WAIT_OBJECT_0);
    const LogTail log;

    EXPECT_EQ(processPendingSelfUpdate(console, settings), 1);
    EXPECT_EQ(console.lines.back(), "Error: Another self-update is still running.");
    EXPECT_TRUE(log.hasLine(
        "INFO", "Another self-update of this installation is running - waiting for it to finish"));
    EXPECT_FALSE(fileExists(install + "\\a.dll"));
    EXPECT_TRUE(recordPresent());

    ::SetEvent(release.get());
    other.join();
    CapturingConsole next;
    EXPECT_EQ(processPendingSelfUpdate(next, settings), 0);
    EXPECT_EQ(readFileBytes(install + "\\a.dll"), kAbc);
    EXPECT_TRUE(recordGone());
}

TEST_F(PendingSelfUpdate, ARecordWhoseStagedFileIsItsTargetKeepsTheFile) {
    const std::string target = install + "\\a.dll";
    ASSERT_TRUE(writeFileBytes(target, kAbc));
    writeRecord(manifestJson(install, {{target, "a.dll", target, kAbcSha256, ""},
                                       {install + "\\.\\a.dll", "a.dll", target, kAbcSha256, ""}}));

    EXPECT_EQ(processPendingSelfUpdate(console), 0);

    EXPECT_EQ(readFileBytes(target), kAbc);
    EXPECT_TRUE(recordGone());
}
