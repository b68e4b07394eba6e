// A downloaded manifest searched for a core file's entry, whose values are then read, as the repair does.
#include "fuzz_support.h"
#include "manifest/manifest_text.h"

using namespace vesk::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = asText(data, size);
    std::size_t logged = 0;
    const ManifestLogSink sink = [&logged](const std::string& level, const std::string& message) {
        logged += level.size() + message.size();
    };
    bool dumped = false;
    const std::string entry = ManifestText::findFileObject(text, "Updater.exe", sink, dumped);
    FUZZ_REQUIRE(entry.size() <= size);
    FUZZ_REQUIRE(entry.empty() || (entry.front() == '{' && entry.back() == '}'));
    for (const char* key : {"name", "url", "size", "sha256", "target_path"}) {
        // Decoding escapes never lengthens a value.
        FUZZ_REQUIRE(extractManifestValue(entry, key).size() <= entry.size());
    }
    FUZZ_REQUIRE(extractManifestValue(text, "version").size() <= size);
    return 0;
}
