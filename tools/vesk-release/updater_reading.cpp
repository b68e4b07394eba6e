#include "updater_reading.h"

#include "manifest/manifest_text.h"
#include "selfupdate/release_manifest.h"

namespace vesk::release {

using vesk::updater::ManifestText;

UpdaterManifestReading readManifestLikeUpdater(const std::string& manifestText) {
    // The very routine the program's self-update steps call, so the report cannot drift from the program.
    const vesk::updater::ReleaseManifest release = vesk::updater::readReleaseManifest(manifestText);
    UpdaterManifestReading reading;
    reading.manifestKeyFound = release.nested;
    reading.manifestObjectText = release.objectText;
    reading.version = release.version;
    reading.build = release.build;
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
        const vesk::updater::FileEntryValues values = vesk::updater::readFileEntryValues(reading.entryText);
        reading.url = values.url;
        reading.size = values.size;
        reading.sha256 = values.sha256;
        reading.targetPath = values.targetPath;
    }
    return reading;
}

} // namespace vesk::release
