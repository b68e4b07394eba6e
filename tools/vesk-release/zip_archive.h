#pragma once

#include "file_util.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "transfer/zip_reader.h"

namespace vesk::release {

// Classic ZIP (no ZIP64) keeps sizes and offsets in 32 bits.
constexpr std::uint64_t kZipSizeLimit = 0xFFFFFFFFull;

// The updater's own ZIP reader over a file on disk, so archives are judged exactly as the updater judges
// them.
class FileZipSource : public vesk::updater::ZipSource {
public:
    explicit FileZipSource(const fs::path& path);
    ~FileZipSource() override;
    FileZipSource(const FileZipSource&) = delete;
    FileZipSource& operator=(const FileZipSource&) = delete;
    bool isOpen() const { return fd_ >= 0; }
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, void* buffer, std::size_t length) override;

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Unpacks an archive with the updater's reader (its checks and limits) into nothing but digests: the size
// and SHA-256 of every file, by its path inside the archive. A status other than Ok is what the updater
// would meet when unpacking.
vesk::updater::ZipStatus digestArchive(const fs::path& zipPath,
                                       std::vector<std::pair<std::string, Digest>>& files);

// MS-DOS date and time (2-second resolution, years 1980..2107) as ZIP headers store them, from UTC.
std::uint32_t dosDateTime(std::time_t when);

// True when deflating sample at level saves at least 3 % of it: incompressible data (already compressed
// libraries, archives) is then stored instead of being run through the compressor for nothing.
bool deflateWorthwhile(const char* sample, size_t size, int level);

// deflateWorthwhile judged at the fastest level on a few slices spread over the data (its start, middle
// and end), so the decision costs little and the same for a large file as for a small one; false for level 0.
bool deflateWorthwhileSampled(const unsigned char* data, size_t size, int level);

// Writes zipPath (replacing it): a ZIP archive holding exactly one file, entryName with data, deflated
// (raw deflate, at level 1..9) or stored; with onlyIfSmaller, deflated only when that saves at least 3 %. The file is
// flushed to the operating system but not synced; the caller decides when it must reach the disk.
bool writeSingleEntryZip(const fs::path& zipPath, const std::string& entryName, const unsigned char* data,
                         size_t size, bool deflate, int level, std::uint32_t modified, std::string& error,
                         bool onlyIfSmaller = false);

// Writes a ZIP archive that holds exactly one file, given in pieces: the pieces are collected and the
// archive is written by finish() (writeSingleEntryZip), synced to disk.
class SingleEntryZipWriter {
public:
    SingleEntryZipWriter() = default;
    ~SingleEntryZipWriter();
    SingleEntryZipWriter(const SingleEntryZipWriter&) = delete;
    SingleEntryZipWriter& operator=(const SingleEntryZipWriter&) = delete;

    bool open(const fs::path& zipPath, const std::string& entryName, bool deflate, int level,
              std::uint32_t modified, std::string& error);
    bool write(const char* data, size_t size, std::string& error);
    // Completes the archive and closes it.
    bool finish(std::string& error);
    // Drops an unfinished archive.
    void abandon();

private:
    bool open_ = false;
    fs::path path_;
    std::string name_;
    bool deflate_ = false;
    int level_ = 6;
    std::uint32_t modified_ = 0;
    std::string data_;
};

} // namespace vesk::release
