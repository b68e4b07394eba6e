// The download URLs tried for one file. Lines of the input: base URLs separated by ";", the file's location
// from the manifest, a name override, and anything on a fourth line to prefer archives.
#include "fuzz_support.h"
#include "transfer/url_candidates.h"

#include <algorithm>

using namespace vesk::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> fields = splitFields(asText(data, size), '\n', 4);
    std::vector<std::string> baseUrls;
    // The registry holds a handful of servers; a cap keeps a megabyte of separators from costing
    // quadratic time in URLs nobody would configure.
    std::string_view list = fields[0];
    while (!list.empty() && baseUrls.size() < 64) {
        const std::size_t cut = std::min(list.find(';'), list.size());
        if (cut > 0) {
            baseUrls.emplace_back(list.substr(0, cut));
        }
        list.remove_prefix(std::min(cut + 1, list.size()));
    }
    for (const std::string& part : {fields[1], fields[2]}) {
        FUZZ_REQUIRE(dirName(part) + baseName(part) == part);
        const std::string trimmed = trimSlashes(part);
        FUZZ_REQUIRE(trimmed.empty() || (trimmed.front() != '/' && trimmed.back() != '/'));
    }

    UrlCandidates candidates(baseUrls, !fields[3].empty());
    candidates.reset(fields[1], fields[2]);
    std::size_t count = 0;
    std::string url;
    bool isArchive = false;
    while (candidates.next(url, isArchive)) {
        const std::string& base = baseUrls[count / 2];
        FUZZ_REQUIRE(url.compare(0, base.size(), base) == 0);
        FUZZ_REQUIRE(isArchive == ((count % 2 == 0) == !fields[3].empty()));
        ++count;
    }
    FUZZ_REQUIRE(count == 0 || count == 2 * baseUrls.size());
    return 0;
}
