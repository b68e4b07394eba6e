// The console updater's output arriving in pieces, cut into lines and interpreted as the window shows it.
#include "client/output_interpretation.h"
#include "client/output_lines.h"
#include "fuzz_support.h"

using namespace vesk::updater;

namespace {

class CheckingCallback : public IProgressCallback {
public:
    void onProgress(int percent) override { FUZZ_REQUIRE(percent >= 0 && percent <= 100); }
    void onStatus(const std::string& status) override { FUZZ_REQUIRE(!status.empty()); }
    void onError(const std::string&) override {}
    // Only the watcher ends the run; no line of output may.
    void onComplete(bool) override { FUZZ_REQUIRE(false); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest = asText(data, size);
    OutputLineBuffer buffer;
    // The client's own path hands whole lines on in place; it must cut exactly the lines append() returns.
    OutputLineBuffer inPlace;
    CheckingCallback callback;
    int progress = 0;
    // Pipe reads of uneven sizes, so lines and carriage-return pairs straddle the pieces.
    constexpr std::size_t kPieces[] = {1, 7, 4096, 2, 65536, 300};
    for (std::size_t turn = 0; !rest.empty(); ++turn) {
        const std::string_view piece = rest.substr(0, kPieces[turn % std::size(kPieces)]);
        rest.remove_prefix(piece.size());
        const std::vector<std::string> lines = buffer.append(piece);
        std::size_t fed = 0;
        inPlace.feed(piece, [&](std::string_view line) {
            FUZZ_REQUIRE(fed < lines.size() && lines[fed] == line);
            ++fed;
        });
        FUZZ_REQUIRE(fed == lines.size());
        for (const std::string& line : lines) {
            FUZZ_REQUIRE(line.find('\n') == std::string::npos && line.find('\0') == std::string::npos);
            FUZZ_REQUIRE(line.size() <= kMaxOutputLineBytes);
            interpretOutputLine(line, progress, callback);
        }
    }
    const std::string last = buffer.takeRest();
    FUZZ_REQUIRE(!buffer.hasRest() && last.find('\n') == std::string::npos);
    FUZZ_REQUIRE(last == inPlace.takeRest());
    interpretOutputLine(last, progress, callback);
    return 0;
}
