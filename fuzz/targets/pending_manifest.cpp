// A pending self-update manifest read the way the deferred self-update reads it, with its console wording.
#include "fuzz_support.h"
#include "selfupdate/pending_self_update.h"

#include <string>

using namespace vesk::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content(asText(data, size));
    const PendingManifestLayout layout = readPendingManifestLayout(content);
    FUZZ_REQUIRE(layout.filesArrayText.size() <= size);
    if (layout.problem != PendingManifestProblem::None) {
        FUZZ_REQUIRE(layout.filesArrayText.empty());
        return 0;
    }
    for (const std::string& object : splitPendingFileObjects(layout.filesArrayText)) {
        FUZZ_REQUIRE(object.front() == '{' && object.back() == '}');
        const PendingFileEntry entry = readPendingFileEntry(object);
        describeParsedFileObject(object, entry);
        if (!entry.complete()) {
            describeMissingFileInformation(entry);
            continue;
        }
        if (const auto expected = parseExpectedSize(entry.expectedSize)) {
            // A size is accepted only as plain digits, so it prints back as written minus leading zeros.
            const std::size_t digits = entry.expectedSize.find_first_not_of('0');
            FUZZ_REQUIRE(std::to_string(*expected) ==
                         (digits == std::string::npos ? "0" : entry.expectedSize.substr(digits)));
        }
        const std::string backup = pendingBackupPath(layout.installDirectory, entry.targetName);
        FUZZ_REQUIRE(parentDirectoryOf(backup) == pendingBackupDirectory(layout.installDirectory) ||
                     entry.targetName.find_first_of("\\/") != std::string::npos);
        hashPreview(entry.expectedSha256);
        parentDirectoryOf(entry.targetPath);
    }
    return 0;
}
