#pragma once

#include <string>

namespace vesk::updater {

// The part of a downloaded manifest that describes the release: the "manifest" member when there is one,
// otherwise the whole text (older servers publish "files" at the root).
struct ReleaseManifest {
    std::string objectText;
    bool nested = false; // objectText came from a non-empty "manifest" member
    std::string version;
    std::string build; // "build_number", or "build" when "build_number" reads as empty
};

// Reads the release description from a manifest text by text search; never fails (missing values stay empty).
ReleaseManifest readReleaseManifest(const std::string& manifestText);

// The release description of a trusted manifest, read from the manifest object exactly as it was signed.
ReleaseManifest readSignedReleaseManifest(const std::string& signedObjectText);

// The file entry's values the self-update steps use, read by text search; "" when missing.
struct FileEntryValues {
    std::string url;
    std::string size;
    std::string sha256;
    std::string targetPath;
};
FileEntryValues readFileEntryValues(const std::string& entryText);

} // namespace vesk::updater
