#pragma once

// Reading of the pending self-update manifest and the wording of the deferred self-update's console
// lines. No Win32 here: the file work lives in pending_self_update_win.cpp.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesk::updater {

// Where the deferred self-update writes what the person at the machine sees. The program writes to a
// console it allocates; tests capture the lines.
class IPendingUpdateConsole {
public:
    virtual ~IPendingUpdateConsole() = default;
    // Makes the console available; called once, before the first line.
    virtual void open() = 0;
    // Writes text followed by a line feed and flushes it.
    virtual void writeLine(const std::string& text) = 0;
    // Waits for one key press when somebody can give it, and returns at once when nobody can.
    virtual void waitForKey() = 0;
};

// Why the pending manifest cannot be used, in the order the checks run.
enum class PendingManifestProblem { None, NoInstallDirectory, NoFilesKey, InvalidFilesArray };

// The parts of a pending manifest the processing needs, found by text search.
struct PendingManifestLayout {
    PendingManifestProblem problem = PendingManifestProblem::None;
    // The first "install_directory" value anywhere in the text; "" when absent.
    std::string installDirectory;
    // The text strictly between the "[" after the "files" key and the first "]" after it.
    std::string filesArrayText;
};

// Finds the install directory and the files array. A manifest whose install directory is missing reports
// only that; the files array is looked for only when the install directory is present.
PendingManifestLayout readPendingManifestLayout(const std::string& content);

// The file objects of the array text in order: each from a "{" through the first "}" after it.
// A "{" without a closing "}" ends the list.
std::vector<std::string> splitPendingFileObjects(const std::string& filesArrayText);

// The values of one file object; "" for a value that is absent.
struct PendingFileEntry {
    std::string sourcePath;
    std::string targetName;
    std::string targetPath;
    std::string expectedSha256;
    std::string expectedSize;

    // True when the three values without which nothing can be placed are present.
    bool complete() const { return !sourcePath.empty() && !targetName.empty() && !targetPath.empty(); }
};

PendingFileEntry readPendingFileEntry(const std::string& objectText);

// An expected size written as decimal digits only, fitting 32 bits; nothing for any other text.
std::optional<std::uint32_t> parseExpectedSize(const std::string& text);

// install directory + "\backup".
std::string pendingBackupDirectory(const std::string& installDirectory);
// install directory + "\backup\" + target name + ".backup".
std::string pendingBackupPath(const std::string& installDirectory, const std::string& targetName);
// Everything before the last backslash or slash; "" when there is none.
std::string parentDirectoryOf(const std::string& path);

// The console lines that show what was read from one file object.
std::vector<std::string> describeParsedFileObject(const std::string& objectText,
                                                  const PendingFileEntry& entry);
// The console lines for a file object that lacks a required value.
std::vector<std::string> describeMissingFileInformation(const PendingFileEntry& entry);
// The console line that explains why a move failed with the given Windows error code.
std::string moveFailureCause(unsigned long errorCode);
// The first 16 characters of a hash followed by "...".
std::string hashPreview(const std::string& hash);

} // namespace vesk::updater
