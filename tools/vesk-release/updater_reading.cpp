#include "updater_reading.h"

#include "selfupdate/release_manifest.h"

namespace vesk::release {

namespace {

std::shared_ptr<const std::vector<std::string>> linesOf(const vesk::updater::ManifestFilesIndex& index) {
    auto lines = std::make_shared<std::vector<std::string>>();
    for (const auto& [level, message] : index.arrayLines()) {
        lines->push_back(level + " " + message);
    }
    return lines;
}

} // namespace

std::vector<std::string> UpdaterEntryReading::searchLog() const {
    std::vector<std::string> lines = {"DEBUG Searching for file: " + fileName};
    if (arrayLog) {
        lines.insert(lines.end(), arrayLog->begin(), arrayLog->end());
    }
    lines.insert(lines.end(), entryLog.begin(), entryLog.end());
    return lines;
}

std::string UpdaterEntryReading::lastSearchLine() const {
    if (!entryLog.empty()) {
        return entryLog.back();
    }
    if (arrayLog && !arrayLog->empty()) {
        return arrayLog->back();
    }
    return "DEBUG Searching for file: " + fileName;
}

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

UpdaterEntryReader::UpdaterEntryReader(const std::string& manifestObjectText)
    : index_(manifestObjectText), arrayLog_(linesOf(index_)) {}

UpdaterEntryReading UpdaterEntryReader::read(const std::string& fileName) const {
    UpdaterEntryReading reading;
    reading.fileName = fileName;
    reading.arrayLog = arrayLog_;
    // The files-array dump is a once-per-process courtesy of the program's log; a report has no use for
    // it, and the index leaves it out.
    reading.entryText = index_.find(fileName, [&](const std::string& level, const std::string& message) {
        reading.entryLog.push_back(level + " " + message);
    });
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

UpdaterEntryReading readEntryLikeUpdater(const std::string& manifestObjectText, const std::string& fileName) {
    return UpdaterEntryReader(manifestObjectText).read(fileName);
}

} // namespace vesk::release
