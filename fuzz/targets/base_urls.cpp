// The registry's "BaseUrls" value and the manifest and file URLs built on it. Lines of the input: the
// value, the channel, the version, the build number, the file name.
#include "core/settings.h"
#include "fuzz_support.h"

namespace vesk::updater {

// settings.cpp's getManifestUrl reads the list through the registry half, which has no native build; the
// fuzz target never calls it, but the linker still needs the name.
std::vector<std::string> getBaseUrls() {
    return {};
}

} // namespace vesk::updater

using namespace vesk::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> fields = splitFields(asText(data, size), '\n', 5);
    const std::vector<std::string> baseUrls = splitBaseUrlsValue(fields[0]);
    for (const std::string& entry : baseUrls) {
        FUZZ_REQUIRE(!entry.empty() && entry.find(';') == std::string::npos);
    }
    // With no entries the built-in server stands first: whatever precedes "/manifest.json" on its own.
    const std::string builtIn = manifestUrlFor("", {});
    const std::string first =
        baseUrls.empty() ? builtIn.substr(0, builtIn.size() - std::string("/manifest.json").size()) : baseUrls.front();
    const std::string manifestUrl = manifestUrlFor(fields[1], baseUrls);
    FUZZ_REQUIRE(manifestUrl.compare(0, first.size(), first) == 0);
    FUZZ_REQUIRE(manifestUrl.size() > 5 && manifestUrl.compare(manifestUrl.size() - 5, 5, ".json") == 0);

    const std::string fileUrl = buildFileUrl(fields[2], fields[3], baseUrls, fields[4]);
    FUZZ_REQUIRE(fileUrl.empty() == (fields[2].empty() || fields[3].empty()));
    FUZZ_REQUIRE(fileUrl.empty() || fileUrl.compare(0, first.size(), first) == 0);
    return 0;
}
