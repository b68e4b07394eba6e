#pragma once

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
    // The search's own log lines ("LEVEL message"), for a verbose report.
    std::vector<std::string> searchLog;
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

} // namespace vesk::release
