#include "selfupdate/release_manifest.h"

#include "manifest/manifest_text.h"

namespace vesk::updater {

namespace {

void readIdentity(ReleaseManifest& release) {
    release.version = ManifestText::extractValue(release.objectText, "version");
    release.build = ManifestText::extractValue(release.objectText, "build_number");
    if (release.build.empty()) {
        release.build = ManifestText::extractValue(release.objectText, "build");
    }
}

} // namespace

ReleaseManifest readReleaseManifest(const std::string& manifestText) {
    ReleaseManifest release;
    release.objectText = ManifestText::extractValue(manifestText, "manifest");
    release.nested = !release.objectText.empty();
    if (!release.nested) {
        release.objectText = manifestText;
    }
    readIdentity(release);
    return release;
}

ReleaseManifest readSignedReleaseManifest(const std::string& signedObjectText) {
    ReleaseManifest release;
    release.objectText = signedObjectText;
    release.nested = true;
    readIdentity(release);
    return release;
}

FileEntryValues readFileEntryValues(const std::string& entryText) {
    FileEntryValues values;
    values.url = ManifestText::extractValue(entryText, "url");
    values.size = ManifestText::extractValue(entryText, "size");
    values.sha256 = ManifestText::extractValue(entryText, "sha256");
    values.targetPath = ManifestText::extractValue(entryText, "target_path");
    return values;
}

} // namespace vesk::updater
