#include "transfer/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <set>

namespace vesk::updater {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndOfDirectorySignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;

constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndOfDirectorySize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kMaxCommentSize = 0xFFFF;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagMaskedDirectory = 0x2000;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint16_t kMethodAes = 99;

constexpr std::size_t kChunkSize = 64 * 1024;
constexpr std::uint64_t kMaxDirectorySize = 64 * 1024 * 1024;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowerAscii(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](char c) { return lowerAscii(c); });
    return result;
}

// Names Windows maps to devices whatever folder they stand in and whatever extension follows.
bool isDeviceName(std::string_view component) {
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') {
        stem.remove_suffix(1);
    }
    const std::string lower = lowerAscii(stem);
    static const char* const fixed[] = {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"};
    for (const char* device : fixed) {
        if (lower == device) {
            return true;
        }
    }
    if (lower.size() == 4 && (lower.compare(0, 3, "com") == 0 || lower.compare(0, 3, "lpt") == 0) &&
        lower[3] >= '0' && lower[3] <= '9') {
        return true;
    }
    return false;
}

bool isSafeComponent(std::string_view component) {
    if (component.empty() || component == "." || component == ".." || component.size() > 255) {
        return false;
    }
    for (char c : component) {
        const unsigned char u = static_cast<unsigned char>(c);
        // Non-ASCII names are refused too: their meaning depends on code pages, and narrow Win32 calls
        // may map them "best fit" onto other names.
        if (u < 0x20 || u >= 0x7F || std::strchr("<>:\"|?*\\", c) != nullptr) {
            return false;
        }
    }
    // Windows drops trailing dots and blanks, so "x." would become "x" and ".. " would become "..".
    if (component.back() == '.' || component.back() == ' ') {
        return false;
    }
    return !isDeviceName(component);
}

// Reads fixed-size records through the source.
class Reader {
public:
    explicit Reader(ZipSource& source) : source(source), total(source.size()) {}

    std::uint64_t size() const { return total; }

    // Reads length bytes at offset into out; Truncated when they reach past the end.
    ZipStatus read(std::uint64_t offset, std::size_t length, unsigned char* out) {
        if (offset > total || length > total - offset) {
            return ZipStatus::Truncated;
        }
        if (length == 0) {
            return ZipStatus::Ok;
        }
        return source.read(offset, out, length) ? ZipStatus::Ok : ZipStatus::ReadFailed;
    }

private:
    ZipSource& source;
    std::uint64_t total;
};

struct EndOfDirectory {
    std::uint64_t offset = 0;
    std::uint16_t entryCount = 0;
    std::uint32_t directorySize = 0;
    std::uint32_t directoryOffset = 0;
};

ZipStatus findEndOfDirectory(Reader& reader, EndOfDirectory& end) {
    const std::uint64_t total = reader.size();
    if (total < 4) {
        return ZipStatus::NotAnArchive;
    }
    unsigned char magic[4];
    if (ZipStatus status = reader.read(0, 4, magic); status != ZipStatus::Ok) {
        return status;
    }
    // The archive is recognised by its first record: a local header, or the end record of an empty archive.
    const std::uint32_t first = le32(magic);
    if (first != kLocalHeaderSignature && first != kEndOfDirectorySignature) {
        return ZipStatus::NotAnArchive;
    }
    if (total < kEndOfDirectorySize) {
        return ZipStatus::Truncated;
    }
    const std::uint64_t tailSize = std::min<std::uint64_t>(total, kEndOfDirectorySize + kMaxCommentSize);
    std::vector<unsigned char> tail(static_cast<std::size_t>(tailSize));
    const std::uint64_t tailStart = total - tailSize;
    if (ZipStatus status = reader.read(tailStart, tail.size(), tail.data()); status != ZipStatus::Ok) {
        return status;
    }
    // The end record is the last one whose comment reaches exactly to the end of the archive.
    for (std::size_t pos = tail.size() - kEndOfDirectorySize + 1; pos-- > 0;) {
        const unsigned char* record = tail.data() + pos;
        if (le32(record) != kEndOfDirectorySignature) {
            continue;
        }
        if (pos + kEndOfDirectorySize + le16(record + 20) != tail.size()) {
            continue;
        }
        const std::uint16_t diskNumber = le16(record + 4);
        const std::uint16_t directoryDisk = le16(record + 6);
        const std::uint16_t entriesOnDisk = le16(record + 8);
        end.entryCount = le16(record + 10);
        end.directorySize = le32(record + 12);
        end.directoryOffset = le32(record + 16);
        end.offset = tailStart + pos;
        if (end.offset >= kZip64LocatorSize && pos >= kZip64LocatorSize &&
            le32(record - kZip64LocatorSize) == kZip64LocatorSignature) {
            return ZipStatus::Unsupported;
        }
        if (end.entryCount == 0xFFFF || end.directorySize == 0xFFFFFFFF ||
            end.directoryOffset == 0xFFFFFFFF) {
            return ZipStatus::Unsupported;
        }
        if (diskNumber != 0 || directoryDisk != 0 || entriesOnDisk != end.entryCount) {
            return ZipStatus::Unsupported;
        }
        return ZipStatus::Ok;
    }
    return ZipStatus::Truncated;
}

// Checks one entry's local header against its directory record and finds where its data begins.
ZipStatus readLocalHeader(Reader& reader, std::uint64_t headerOffset, ZipEntry& entry) {
    unsigned char header[kLocalHeaderSize];
    if (ZipStatus status = reader.read(headerOffset, sizeof header, header); status != ZipStatus::Ok) {
        return status;
    }
    if (le32(header) != kLocalHeaderSignature) {
        return ZipStatus::Corrupt;
    }
    const std::uint16_t flags = le16(header + 6);
    const std::uint16_t method = le16(header + 8);
    const std::uint16_t nameLength = le16(header + 26);
    const std::uint16_t extraLength = le16(header + 28);
    if ((flags & (kFlagEncrypted | kFlagStrongEncryption)) != 0 || method == kMethodAes) {
        return ZipStatus::Encrypted;
    }
    if (method != entry.method) {
        return ZipStatus::Corrupt;
    }
    std::string localName(nameLength, '\0');
    if (ZipStatus status = reader.read(headerOffset + kLocalHeaderSize, nameLength,
                                       reinterpret_cast<unsigned char*>(localName.data()));
        status != ZipStatus::Ok) {
        return status;
    }
    // Readers that go by the local headers must not see a different file than we unpack.
    if (localName != entry.name) {
        return ZipStatus::Corrupt;
    }
    entry.dataOffset = headerOffset + kLocalHeaderSize + nameLength + extraLength;
    return ZipStatus::Ok;
}

// Case-insensitive bookkeeping of what the archive creates, so that no entry overwrites another.
class NameRegistry {
public:
    bool addFile(const std::string& path) {
        const std::string key = lowerAscii(path);
        if (folders.count(key) != 0 || !files.insert(key).second) {
            return false;
        }
        return addParents(key);
    }

    bool addFolder(const std::string& path) {
        const std::string key = lowerAscii(path);
        if (files.count(key) != 0) {
            return false;
        }
        folders.insert(key);
        return addParents(key);
    }

private:
    bool addParents(const std::string& key) {
        for (std::size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1)) {
            const std::string parent = key.substr(0, slash);
            if (files.count(parent) != 0) {
                return false;
            }
            folders.insert(parent);
        }
        return true;
    }

    std::set<std::string> files;
    std::set<std::string> folders;
};

// Inflates or copies one entry's data into the sink, checking size and CRC-32 as it goes.
ZipStatus unpackData(ZipSource& source, const ZipEntry& entry, ZipSink& sink) {
    std::vector<unsigned char> input(kChunkSize);
    std::vector<unsigned char> output(kChunkSize);
    std::uint64_t inputLeft = entry.compressedSize;
    std::uint64_t inputOffset = entry.dataOffset;
    std::uint64_t produced = 0;
    uLong crc = crc32(0L, Z_NULL, 0);

    auto emit = [&](const unsigned char* data, std::size_t length) -> ZipStatus {
        if (length > entry.uncompressedSize - produced) {
            return ZipStatus::Corrupt;
        }
        if (length == 0) {
            return ZipStatus::Ok;
        }
        produced += length;
        crc = crc32(crc, data, static_cast<uInt>(length));
        return sink.writeFile(data, length) ? ZipStatus::Ok : ZipStatus::WriteFailed;
    };
    auto readChunk = [&](std::size_t& length) -> ZipStatus {
        length = static_cast<std::size_t>(std::min<std::uint64_t>(inputLeft, input.size()));
        if (!source.read(inputOffset, input.data(), length)) {
            return ZipStatus::ReadFailed;
        }
        inputOffset += length;
        inputLeft -= length;
        return ZipStatus::Ok;
    };

    if (entry.method == kMethodStored) {
        while (inputLeft > 0) {
            std::size_t length = 0;
            if (ZipStatus status = readChunk(length); status != ZipStatus::Ok) {
                return status;
            }
            if (ZipStatus status = emit(input.data(), length); status != ZipStatus::Ok) {
                return status;
            }
        }
    } else {
        z_stream stream{};
        // Negative window bits: raw deflate data, as ZIP stores it, without a zlib header.
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
            return ZipStatus::Corrupt;
        }
        struct StreamEnd {
            z_stream& stream;
            ~StreamEnd() { inflateEnd(&stream); }
        } streamEnd{stream};

        while (true) {
            if (stream.avail_in == 0 && inputLeft > 0) {
                std::size_t length = 0;
                if (ZipStatus status = readChunk(length); status != ZipStatus::Ok) {
                    return status;
                }
                stream.next_in = input.data();
                stream.avail_in = static_cast<uInt>(length);
            }
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            const int result = inflate(&stream, Z_NO_FLUSH);
            // Z_BUF_ERROR with a whole empty output buffer means more input was needed and there is none:
            // the data ends before the deflate stream does.
            if (result != Z_OK && result != Z_STREAM_END) {
                return ZipStatus::Corrupt;
            }
            const std::size_t length = output.size() - stream.avail_out;
            if (ZipStatus status = emit(output.data(), length); status != ZipStatus::Ok) {
                return status;
            }
            if (result == Z_STREAM_END) {
                break;
            }
        }
        // The stream must fill its declared compressed size exactly.
        if (stream.avail_in != 0 || inputLeft != 0) {
            return ZipStatus::Corrupt;
        }
    }
    if (produced != entry.uncompressedSize) {
        return ZipStatus::Corrupt;
    }
    if (static_cast<std::uint32_t>(crc) != entry.crc32) {
        return ZipStatus::ChecksumMismatch;
    }
    return ZipStatus::Ok;
}

} // namespace

const char* zipStatusText(ZipStatus status) {
    switch (status) {
    case ZipStatus::Ok:
        return "ok";
    case ZipStatus::NotAnArchive:
        return "not a ZIP archive";
    case ZipStatus::Truncated:
        return "truncated archive";
    case ZipStatus::Corrupt:
        return "corrupt archive";
    case ZipStatus::Unsupported:
        return "unsupported archive format";
    case ZipStatus::Encrypted:
        return "encrypted entry";
    case ZipStatus::UnsafeName:
        return "unsafe entry name";
    case ZipStatus::DuplicateName:
        return "duplicate entry name";
    case ZipStatus::TooManyEntries:
        return "too many entries";
    case ZipStatus::TooLarge:
        return "unpacked size too large";
    case ZipStatus::EntryTooLarge:
        return "entry larger than allowed";
    case ZipStatus::ChecksumMismatch:
        return "CRC-32 mismatch";
    case ZipStatus::ReadFailed:
        return "archive could not be read";
    case ZipStatus::WriteFailed:
        return "unpacked entry could not be written";
    }
    return "unknown";
}

bool MemoryZipSource::read(std::uint64_t offset, void* buffer, std::size_t length) {
    if (offset > bytes.size() || length > bytes.size() - offset) {
        return false;
    }
    if (length != 0) {
        std::memcpy(buffer, bytes.data() + offset, length);
    }
    return true;
}

bool isSafeEntryName(std::string_view name) {
    if (!name.empty() && name.back() == '/') {
        name.remove_suffix(1);
    }
    if (name.empty()) {
        return false;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = name.find('/', start);
        const std::string_view component =
            name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!isSafeComponent(component)) {
            return false; // also a leading "/" (empty first component) and "a//b"
        }
        if (slash == std::string_view::npos) {
            return true;
        }
        start = slash + 1;
    }
}

ZipStatus readZipDirectory(ZipSource& source, const ZipLimits& limits, std::vector<ZipEntry>& entries) {
    entries.clear();
    Reader reader(source);
    EndOfDirectory end;
    if (ZipStatus status = findEndOfDirectory(reader, end); status != ZipStatus::Ok) {
        return status;
    }
    if (end.entryCount > limits.maxEntries) {
        return ZipStatus::TooManyEntries;
    }
    if (static_cast<std::uint64_t>(end.directoryOffset) + end.directorySize != end.offset) {
        return ZipStatus::Corrupt;
    }
    // A directory larger than its entries could fill is damaged; the fixed cap keeps memory bounded.
    if (end.directorySize > std::uint64_t{end.entryCount} * (kCentralHeaderSize + 3 * 0xFFFF) ||
        end.directorySize > kMaxDirectorySize) {
        return ZipStatus::Corrupt;
    }
    std::vector<unsigned char> directory(end.directorySize);
    if (ZipStatus status = reader.read(end.directoryOffset, directory.size(), directory.data());
        status != ZipStatus::Ok) {
        return status;
    }

    NameRegistry names;
    std::uint64_t totalSize = 0;
    std::size_t pos = 0;
    for (std::size_t index = 0; index < end.entryCount; ++index) {
        if (directory.size() - pos < kCentralHeaderSize) {
            return ZipStatus::Corrupt;
        }
        const unsigned char* record = directory.data() + pos;
        if (le32(record) != kCentralHeaderSignature) {
            return ZipStatus::Corrupt;
        }
        const std::uint16_t flags = le16(record + 8);
        ZipEntry entry;
        entry.method = le16(record + 10);
        entry.crc32 = le32(record + 16);
        const std::uint32_t compressedSize = le32(record + 20);
        const std::uint32_t uncompressedSize = le32(record + 24);
        const std::uint16_t nameLength = le16(record + 28);
        const std::uint16_t extraLength = le16(record + 30);
        const std::uint16_t commentLength = le16(record + 32);
        const std::uint16_t startDisk = le16(record + 34);
        const std::uint32_t headerOffset = le32(record + 42);
        const std::size_t recordSize = kCentralHeaderSize + nameLength + extraLength + commentLength;
        if (directory.size() - pos < recordSize) {
            return ZipStatus::Corrupt;
        }
        entry.name.assign(reinterpret_cast<const char*>(record + kCentralHeaderSize), nameLength);
        pos += recordSize;

        if ((flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedDirectory)) != 0 ||
            entry.method == kMethodAes) {
            return ZipStatus::Encrypted;
        }
        if (compressedSize == 0xFFFFFFFF || uncompressedSize == 0xFFFFFFFF || headerOffset == 0xFFFFFFFF ||
            startDisk == 0xFFFF) {
            return ZipStatus::Unsupported;
        }
        if (startDisk != 0) {
            return ZipStatus::Unsupported;
        }
        if (entry.method != kMethodStored && entry.method != kMethodDeflated) {
            return ZipStatus::Unsupported;
        }
        if (!isSafeEntryName(entry.name)) {
            return ZipStatus::UnsafeName;
        }
        entry.compressedSize = compressedSize;
        entry.uncompressedSize = uncompressedSize;
        entry.isDirectory = entry.name.back() == '/';
        if (entry.method == kMethodStored && compressedSize != uncompressedSize) {
            return ZipStatus::Corrupt;
        }
        if (entry.isDirectory && uncompressedSize != 0) {
            return ZipStatus::Corrupt;
        }
        const std::string path = entry.isDirectory ? entry.name.substr(0, entry.name.size() - 1) : entry.name;
        if (!(entry.isDirectory ? names.addFolder(path) : names.addFile(path))) {
            return ZipStatus::DuplicateName;
        }
        totalSize += uncompressedSize;
        if (totalSize > limits.maxTotalSize) {
            return ZipStatus::TooLarge;
        }
        // Refused before anything is written; data that inflates past its declared size stops at it.
        if (uncompressedSize > limits.maxEntrySize) {
            return ZipStatus::EntryTooLarge;
        }
        if (ZipStatus status = readLocalHeader(reader, headerOffset, entry); status != ZipStatus::Ok) {
            return status;
        }
        // Entry data lies before the central directory; anything else is a crafted or damaged archive.
        if (entry.dataOffset > end.directoryOffset ||
            entry.compressedSize > end.directoryOffset - entry.dataOffset) {
            return entry.dataOffset + entry.compressedSize > reader.size() ? ZipStatus::Truncated
                                                                           : ZipStatus::Corrupt;
        }
        entries.push_back(std::move(entry));
    }
    if (pos != directory.size()) {
        return ZipStatus::Corrupt;
    }
    return ZipStatus::Ok;
}

ZipStatus extractZip(ZipSource& source, ZipSink& sink, const ZipLimits& limits) {
    std::vector<ZipEntry> entries;
    if (ZipStatus status = readZipDirectory(source, limits, entries); status != ZipStatus::Ok) {
        return status;
    }
    for (const ZipEntry& entry : entries) {
        if (entry.isDirectory) {
            if (!sink.makeDirectory(entry.name.substr(0, entry.name.size() - 1))) {
                return ZipStatus::WriteFailed;
            }
            continue;
        }
        if (!sink.beginFile(entry.name)) {
            return ZipStatus::WriteFailed;
        }
        const ZipStatus status = unpackData(source, entry, sink);
        const bool closed = sink.endFile();
        if (status != ZipStatus::Ok) {
            return status;
        }
        if (!closed) {
            return ZipStatus::WriteFailed;
        }
    }
    return ZipStatus::Ok;
}

} // namespace vesk::updater
