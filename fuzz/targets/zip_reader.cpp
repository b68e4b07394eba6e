// A downloaded archive unpacked into a sink that checks what the reader hands it.
#include "fuzz_support.h"
#include "transfer/zip_reader.h"

#include <algorithm>

using namespace vesk::updater;

namespace {

class CheckingSink : public ZipSink {
public:
    bool makeDirectory(const std::string& relativePath) override {
        FUZZ_REQUIRE(!open && isSafeEntryName(relativePath) && relativePath.back() != '/');
        return true;
    }
    bool beginFile(const std::string& relativePath) override {
        FUZZ_REQUIRE(!open && isSafeEntryName(relativePath) && relativePath.back() != '/');
        open = true;
        return true;
    }
    bool writeFile(const unsigned char* bytes, std::size_t length) override {
        FUZZ_REQUIRE(open && length > 0);
        // Touching both ends lets the address checker see a buffer the reader overstated.
        checksum += bytes[0] + bytes[length - 1];
        written += length;
        return true;
    }
    bool endFile() override {
        FUZZ_REQUIRE(open);
        open = false;
        return true;
    }

    bool open = false;
    std::uint64_t written = 0;
    unsigned checksum = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryZipSource source(asText(data, size));
    ZipLimits limits;
    // Small enough that an inflating bomb costs a fraction of a second per run.
    limits.maxTotalSize = 64u << 20;
    std::vector<ZipEntry> entries;
    const ZipStatus directory = readZipDirectory(source, limits, entries);
    FUZZ_REQUIRE(entries.size() <= limits.maxEntries);
    for (const ZipEntry& entry : entries) {
        FUZZ_REQUIRE(entry.dataOffset + entry.compressedSize <= size);
    }

    CheckingSink sink;
    const ZipStatus status = extractZip(source, sink, limits);
    // An archive refused for its structure writes nothing at all.
    FUZZ_REQUIRE(directory == ZipStatus::Ok || (status == directory && sink.written == 0 && !sink.open));
    FUZZ_REQUIRE(sink.written <= limits.maxTotalSize);
    FUZZ_REQUIRE(zipStatusText(status) != nullptr);

    const std::string_view name = asText(data, std::min<std::size_t>(size, 300));
    FUZZ_REQUIRE(!isSafeEntryName(name) || (name.front() != '/' && name.find_first_of("\\:") == name.npos &&
                                             name.find("../") == name.npos));
    return 0;
}
