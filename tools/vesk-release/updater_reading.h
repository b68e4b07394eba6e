#pragma once

#include "manifest/manifest_text.h"

#include <memory>
#include <string>
#include <vector>

namespace vesk::release {

// One file entry as the updater reads it: found or not, and the four values it takes from the entry.
struct UpdaterEntryReading {
    bool found = false;
    std::string entryText;
    std::string size;
    std::string sha256;
    std::string url;
    std::string targetPath;

    // The search's own log lines ("LEVEL message"), for a verbose report: the lines about the files array
    // are the same for every entry of a manifest and are kept once for all of them.
    std::string fileName;
    std::shared_ptr<const std::vector<std::string>> arrayLog;
    std::vector<std::string> entryLog;
    std::vector<std::string> searchLog() const; // every line, in the order the updater logs them
    std::string lastSearchLine() const;         // "" when there is none
};

// The manifest-level values as the updater reads them.
struct UpdaterManifestReading {
    bool manifestKeyFound = false;  // false: the updater falls back to the whole document
    std::string manifestObjectText; // the text it searches for entries
    std::string version;
    std::string build; // "build_number", or "build" when that reads as empty
};

// Both go through the updater's own text search and value extraction (the same source files the
// program is built from), so what is reported here is what the program will do.
UpdaterManifestReading readManifestLikeUpdater(const std::string& manifestText);
UpdaterEntryReading readEntryLikeUpdater(const std::string& manifestObjectText, const std::string& fileName);

// Reads any number of entries of one manifest object as the updater would, choosing its files array once:
// a manifest's every entry is then read in time linear in the manifest. The text must outlive the reader.
class UpdaterEntryReader {
public:
    explicit UpdaterEntryReader(const std::string& manifestObjectText);
    UpdaterEntryReading read(const std::string& fileName) const;

private:
    vesk::updater::ManifestFilesIndex index_;
    std::shared_ptr<const std::vector<std::string>> arrayLog_;
};

} // namespace vesk::release
