#pragma once

// A ZIP reader for the archives the update server offers: stored and deflated entries, one disk, no
// ZIP64, no encryption. Every entry is checked before anything is written, so an archive that is
// hostile in its structure (names leaving the target folder, device names, absurd sizes) produces no
// output at all; damage found only while inflating (bad CRC-32, short or overlong data) stops the
// unpacking and is reported, and the caller throws away what was written.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::updater {

enum class ZipStatus {
    Ok,
    NotAnArchive,     // the bytes do not begin like a ZIP archive (an HTML error page, say)
    Truncated,        // a record or the data of an entry reaches past the end of the archive
    Corrupt,          // inconsistent records, or deflate data that does not decode to the declared size
    Unsupported,      // ZIP64, several disks, or a compression method other than stored and deflate
    Encrypted,        // an entry (or the directory) is encrypted
    UnsafeName,       // an entry would land outside the target folder or on a device
    DuplicateName,    // two entries name the same file (Windows names ignore case), or a file and a folder
    TooManyEntries,   // more entries than ZipLimits::maxEntries
    TooLarge,         // the declared unpacked size exceeds ZipLimits::maxTotalSize
    EntryTooLarge,    // one file's declared unpacked size exceeds ZipLimits::maxEntrySize
    ChecksumMismatch, // the unpacked bytes do not have the CRC-32 the archive declares
    ReadFailed,       // the archive could not be read
    WriteFailed,      // the output refused a folder, a file or bytes
};

// Short English text for a status, for diagnostics.
const char* zipStatusText(ZipStatus status);

struct ZipLimits {
    std::size_t maxEntries = 10000;
    // Sum of the unpacked sizes of all files; nothing we ship comes near it.
    std::uint64_t maxTotalSize = std::uint64_t{1} << 30;
    // Unpacked size of any one file: the wanted file's size when the caller knows it, so a small archive
    // cannot unpack into something far larger than what it should hold.
    std::uint64_t maxEntrySize = std::uint64_t{1} << 30;
};

// Random access to the archive's bytes.
class ZipSource {
public:
    virtual ~ZipSource() = default;
    virtual std::uint64_t size() const = 0;
    // Reads exactly length bytes at offset; false when that is not possible.
    virtual bool read(std::uint64_t offset, void* buffer, std::size_t length) = 0;
};

// An archive held in memory; the bytes must outlive the source.
class MemoryZipSource : public ZipSource {
public:
    explicit MemoryZipSource(std::string_view bytes) : bytes(bytes) {}
    std::uint64_t size() const override { return bytes.size(); }
    bool read(std::uint64_t offset, void* buffer, std::size_t length) override;

private:
    std::string_view bytes;
};

// Where unpacked entries go. Paths are relative, checked by isSafeEntryName, with "/" between
// components and no trailing "/". Parent folders may not have been announced before a file in them.
class ZipSink {
public:
    virtual ~ZipSink() = default;
    virtual bool makeDirectory(const std::string& relativePath) = 0;
    // Creates a new file; fails when something of that name exists already.
    virtual bool beginFile(const std::string& relativePath) = 0;
    virtual bool writeFile(const unsigned char* data, std::size_t length) = 0;
    virtual bool endFile() = 0;
};

struct ZipEntry {
    std::string name; // as stored, a folder with its trailing "/"
    bool isDirectory = false;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t dataOffset = 0; // where the entry's (compressed) bytes begin
};

// True for an entry name that stays inside the target folder on Windows: printable ASCII, "/" as the
// only separator, no empty, "." or ".." component, no drive, stream or wildcard characters, no
// component ending in a dot or blank, no device name (CON, NUL, COM1, LPT1.txt ...). A folder entry
// may end in one "/".
bool isSafeEntryName(std::string_view name);

// Reads and checks the central directory and every local header. On Ok, entries lists the entries in
// directory order.
ZipStatus readZipDirectory(ZipSource& source, const ZipLimits& limits, std::vector<ZipEntry>& entries);

// Unpacks the whole archive into sink, checking each file's size and CRC-32. Stops at the first fault.
ZipStatus extractZip(ZipSource& source, ZipSink& sink, const ZipLimits& limits = {});

} // namespace vesk::updater
