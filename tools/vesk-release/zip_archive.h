#pragma once

#include "file_util.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace vesk::release {

// Classic ZIP (no ZIP64) keeps sizes and offsets in 32 bits.
constexpr std::uint64_t kZipSizeLimit = 0xFFFFFFFFull;

// MS-DOS date and time (2-second resolution, years 1980..2107) as ZIP headers store them, from UTC.
std::uint32_t dosDateTime(std::time_t when);

// True when deflating sample at level saves at least 3 % of it: incompressible data (already compressed
// libraries, archives) is then stored instead of being run through zlib for nothing.
bool deflateWorthwhile(const char* sample, size_t size, int level);

// Writes a ZIP archive that holds exactly one file, streamed in: a local header, the data (stored or
// deflated), one central-directory record and the end record. Sizes and CRC-32 are patched into the local
// header at the end, so no data descriptor is needed by readers.
class SingleEntryZipWriter {
public:
    SingleEntryZipWriter() = default;
    ~SingleEntryZipWriter();
    SingleEntryZipWriter(const SingleEntryZipWriter&) = delete;
    SingleEntryZipWriter& operator=(const SingleEntryZipWriter&) = delete;

    // Creates zipPath (replacing it) and writes the local header of entryName.
    bool open(const fs::path& zipPath, const std::string& entryName, bool deflate, int level,
              std::uint32_t modified, std::string& error);
    bool write(const char* data, size_t size, std::string& error);
    // Completes the archive and closes it.
    bool finish(std::string& error);
    // Closes and deletes an unfinished archive.
    void abandon();

private:
    bool emit(const void* data, size_t size, std::string& error);
    bool drainDeflate(int flush, std::string& error);

    std::FILE* file_ = nullptr;
    fs::path path_;
    std::string name_;
    bool deflate_ = false;
    void* stream_ = nullptr; // z_stream
    std::uint32_t crc_ = 0;
    std::uint64_t uncompressed_ = 0;
    std::uint64_t compressed_ = 0;
    std::uint32_t modified_ = 0;
    std::vector<unsigned char> out_;
};

// One record of an archive's central directory.
struct ZipEntryInfo {
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::uint32_t localHeaderOffset = 0;
};

// Reads the central directory; false with error when the file is not a readable ZIP archive.
bool listZipEntries(const fs::path& zipPath, std::vector<ZipEntryInfo>& entries, std::string& error);

// Unpacks one entry (stored or deflated) in memory-bounded chunks and returns its size and SHA-256;
// false with error on an unsupported method, encryption, damaged data, or a CRC-32 or size mismatch.
bool digestZipEntry(const fs::path& zipPath, const ZipEntryInfo& entry, Digest& digest, std::string& error);

} // namespace vesk::release
