// A downloaded manifest as the self-update reads it: the signature report, the release description and
// the program's own file entry.
#include "fuzz_support.h"
#include "integrity/manifest_signature.h"
#include "manifest/manifest_text.h"
#include "selfupdate/release_manifest.h"

using namespace vesk::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(asText(data, size));
    std::size_t lines = 0;
    const auto sink = [&lines](const std::string&, const std::string&) { ++lines; };
    const auto verify = [](const std::string&, const std::string&, const std::string&, std::string& error) {
        error = "not checked here";
        return false;
    };
    // The detailed report on even sizes and the brief one on odd sizes: both wordings stay covered.
    reportManifestSignature(text, size % 2 == 0 ? SignatureReportStyle::Detailed : SignatureReportStyle::Brief,
                            sink, verify);
    FUZZ_REQUIRE(lines >= 3);

    const ReleaseManifest release = readReleaseManifest(text);
    FUZZ_REQUIRE(release.nested == !release.objectText.empty() || release.objectText == text);
    bool dumped = false;
    const std::string entry = ManifestText::findFileObject(release.objectText, "VESK_Updater.exe", sink, dumped);
    const FileEntryValues values = readFileEntryValues(entry);
    FUZZ_REQUIRE(values.url.size() <= entry.size() && values.sha256.size() <= entry.size());
    return 0;
}
