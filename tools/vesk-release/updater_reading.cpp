#include "updater_reading.h"

#include "manifest/manifest_text.h"

namespace vesk::release {

using vesk::updater::ManifestText;

UpdaterManifestReading readManifestLikeUpdater(const std::string& manifestText) {
    UpdaterManifestReading reading;
    reading.manifestObjectText = ManifestText::extractValue(manifestText, "manifest");
    reading.manifestKeyFound = !reading.manifestObjectText.empty();
    if (!reading.manifestKeyFound) {
        reading.manifestObjectText = manifestText;
    }
    reading.version = ManifestText::extractValue(reading.manifestObjectText, "version");
    reading.build = ManifestText::extractValue(reading.manifestObjectText, "build_number");
    if (reading.build.empty()) {
        reading.build = ManifestText::extractValue(reading.manifestObjectText, "build");
    }
    return reading;
}

UpdaterEntryReading readEntryLikeUpdater(const std::string& manifestObjectText, const std::string& fileName) {
    UpdaterEntryReading reading;
    // The files-array dump is a once-per-process courtesy of the program's log; a report has no use for it.
    bool dumped = true;
    reading.entryText = ManifestText::findFileObject(
        manifestObjectText, fileName,
        [&](const std::string& level, const std::string& message) {
            reading.searchLog.push_back(level + " " + message);
        },
        dumped);
    reading.found = !reading.entryText.empty();
    if (reading.found) {
        reading.url = ManifestText::extractValue(reading.entryText, "url");
        reading.size = ManifestText::extractValue(reading.entryText, "size");
        reading.sha256 = ManifestText::extractValue(reading.entryText, "sha256");
        reading.targetPath = ManifestText::extractValue(reading.entryText, "target_path");
    }
    return reading;
}

} // namespace vesk::release
