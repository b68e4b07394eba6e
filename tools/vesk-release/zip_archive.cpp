#include "zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vesk::release {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint16_t kVersionNeeded = 20; // 2.0: deflate
constexpr std::uint16_t kUtf8NameFlag = 0x0800;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;

void put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint16_t get16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool readAt(std::FILE* f, std::uint64_t offset, void* buffer, size_t size) {
    return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(buffer, 1, size, f) == size;
}

} // namespace

std::uint32_t dosDateTime(std::time_t when) {
    std::tm parts{};
    ::gmtime_r(&when, &parts);
    int year = parts.tm_year + 1900;
    if (year < 1980)
        return (1u << 5) | 1u; // 1980-01-01 00:00
    year = std::min(year, 2107);
    const std::uint32_t date =
        static_cast<std::uint32_t>(((year - 1980) << 9) | ((parts.tm_mon + 1) << 5) | parts.tm_mday);
    const std::uint32_t time =
        static_cast<std::uint32_t>((parts.tm_hour << 11) | (parts.tm_min << 5) | (parts.tm_sec / 2));
    return (date << 16) | time;
}

bool deflateWorthwhile(const char* sample, size_t size, int level) {
    if (size == 0 || level == 0)
        return false;
    uLongf bound = compressBound(static_cast<uLong>(size));
    std::vector<Bytef> out(bound);
    if (compress2(out.data(), &bound, reinterpret_cast<const Bytef*>(sample), static_cast<uLong>(size),
                  level) != Z_OK) {
        return false;
    }
    return bound * 100 <= size * 97;
}

SingleEntryZipWriter::~SingleEntryZipWriter() {
    abandon();
}

void SingleEntryZipWriter::abandon() {
    if (stream_) {
        deflateEnd(static_cast<z_stream*>(stream_));
        delete static_cast<z_stream*>(stream_);
        stream_ = nullptr;
    }
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
}

bool SingleEntryZipWriter::emit(const void* data, size_t size, std::string& error) {
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) {
        error = describeErrno(path_, errno);
        return false;
    }
    return true;
}

bool SingleEntryZipWriter::open(const fs::path& zipPath, const std::string& entryName, bool deflate,
                                int level, std::uint32_t modified, std::string& error) {
    abandon();
    if (entryName.empty() || entryName.size() > 0xFFFF) {
        error = zipPath.string() + ": unusable entry name";
        return false;
    }
    path_ = zipPath;
    name_ = entryName;
    deflate_ = deflate;
    modified_ = modified;
    crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    uncompressed_ = 0;
    compressed_ = 0;
    file_ = std::fopen(zipPath.c_str(), "wb");
    if (!file_) {
        error = describeErrno(zipPath, errno);
        return false;
    }
    if (deflate_) {
        auto* stream = new z_stream{};
        // Negative window bits: raw deflate data, which is what a ZIP entry holds.
        if (deflateInit2(stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            delete stream;
            error = zipPath.string() + ": cannot start the deflate stream";
            abandon();
            return false;
        }
        stream_ = stream;
        out_.resize(1 << 18);
    }
    // Sizes and CRC are zero for now and patched by finish().
    std::string header;
    put32(header, kLocalHeaderSignature);
    put16(header, kVersionNeeded);
    put16(header, kUtf8NameFlag);
    put16(header, deflate_ ? 8 : 0);
    put32(header, modified_);
    put32(header, 0);
    put32(header, 0);
    put32(header, 0);
    put16(header, static_cast<std::uint16_t>(name_.size()));
    put16(header, 0);
    header += name_;
    if (!emit(header.data(), header.size(), error)) {
        abandon();
        return false;
    }
    return true;
}

bool SingleEntryZipWriter::drainDeflate(int flush, std::string& error) {
    auto* stream = static_cast<z_stream*>(stream_);
    for (;;) {
        stream->next_out = out_.data();
        stream->avail_out = static_cast<uInt>(out_.size());
        const int rc = ::deflate(stream, flush);
        if (rc == Z_STREAM_ERROR) {
            error = path_.string() + ": deflate failed";
            return false;
        }
        const size_t produced = out_.size() - stream->avail_out;
        compressed_ += produced;
        if (!emit(out_.data(), produced, error))
            return false;
        if (flush == Z_FINISH ? rc == Z_STREAM_END : stream->avail_out != 0)
            return true;
    }
}

bool SingleEntryZipWriter::write(const char* data, size_t size, std::string& error) {
    if (!file_) {
        error = path_.string() + ": archive is not open";
        return false;
    }
    uncompressed_ += size;
    if (uncompressed_ >= kZipSizeLimit) {
        error = path_.string() + ": the file is too large for a ZIP archive without ZIP64 (4 GiB)";
        abandon();
        return false;
    }
    // crc32() takes a uInt length; feed it in pieces that fit.
    for (size_t done = 0; done < size;) {
        const size_t piece = std::min<size_t>(size - done, 1u << 30);
        crc_ = static_cast<std::uint32_t>(
            crc32(crc_, reinterpret_cast<const Bytef*>(data + done), static_cast<uInt>(piece)));
        done += piece;
    }
    bool ok;
    if (deflate_) {
        auto* stream = static_cast<z_stream*>(stream_);
        ok = true;
        for (size_t done = 0; ok && done < size;) {
            const size_t piece = std::min<size_t>(size - done, 1u << 30);
            stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data + done));
            stream->avail_in = static_cast<uInt>(piece);
            ok = drainDeflate(Z_NO_FLUSH, error);
            done += piece;
        }
    } else {
        compressed_ += size;
        ok = emit(data, size, error);
    }
    if (!ok)
        abandon();
    return ok;
}

bool SingleEntryZipWriter::finish(std::string& error) {
    if (!file_) {
        error = path_.string() + ": archive is not open";
        return false;
    }
    if (deflate_) {
        auto* stream = static_cast<z_stream*>(stream_);
        stream->next_in = nullptr;
        stream->avail_in = 0;
        if (!drainDeflate(Z_FINISH, error)) {
            abandon();
            return false;
        }
        deflateEnd(stream);
        delete stream;
        stream_ = nullptr;
    }
    const std::uint64_t dataEnd = kLocalHeaderSize + name_.size() + compressed_;
    if (compressed_ >= kZipSizeLimit || dataEnd >= kZipSizeLimit) {
        error = path_.string() + ": the archive would exceed the 4 GiB limit of ZIP without ZIP64";
        abandon();
        return false;
    }
    std::string sizes;
    put32(sizes, crc_);
    put32(sizes, static_cast<std::uint32_t>(compressed_));
    put32(sizes, static_cast<std::uint32_t>(uncompressed_));
    if (::fseeko(file_, 14, SEEK_SET) != 0 || !emit(sizes.data(), sizes.size(), error) ||
        ::fseeko(file_, static_cast<off_t>(dataEnd), SEEK_SET) != 0) {
        if (error.empty())
            error = describeErrno(path_, errno);
        abandon();
        return false;
    }
    std::string central;
    put32(central, kCentralHeaderSignature);
    put16(central, kVersionNeeded); // made by: MS-DOS attribute layout, version 2.0
    put16(central, kVersionNeeded);
    put16(central, kUtf8NameFlag);
    put16(central, deflate_ ? 8 : 0);
    put32(central, modified_);
    central += sizes;
    put16(central, static_cast<std::uint16_t>(name_.size()));
    put16(central, 0); // extra
    put16(central, 0); // comment
    put16(central, 0); // disk
    put16(central, 0); // internal attributes
    put32(central, 0); // external attributes
    put32(central, 0); // local header offset
    central += name_;
    const std::uint32_t centralSize = static_cast<std::uint32_t>(central.size());
    put32(central, kEndSignature);
    put16(central, 0);
    put16(central, 0);
    put16(central, 1);
    put16(central, 1);
    put32(central, centralSize);
    put32(central, static_cast<std::uint32_t>(dataEnd));
    put16(central, 0);
    if (!emit(central.data(), central.size(), error) || std::fflush(file_) != 0 ||
        ::fsync(::fileno(file_)) != 0) {
        if (error.empty())
            error = describeErrno(path_, errno);
        abandon();
        return false;
    }
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) {
        error = describeErrno(path_, errno);
        std::error_code ignored;
        fs::remove(path_, ignored);
        return false;
    }
    return true;
}

bool listZipEntries(const fs::path& zipPath, std::vector<ZipEntryInfo>& entries, std::string& error) {
    entries.clear();
    FilePtr file(std::fopen(zipPath.c_str(), "rb"));
    if (!file) {
        error = describeErrno(zipPath, errno);
        return false;
    }
    if (::fseeko(file.get(), 0, SEEK_END) != 0) {
        error = describeErrno(zipPath, errno);
        return false;
    }
    const std::uint64_t fileSize = static_cast<std::uint64_t>(::ftello(file.get()));
    if (fileSize < kEndRecordSize) {
        error = zipPath.string() + ": not a ZIP archive (too short)";
        return false;
    }
    // The end record sits in the last 22 bytes plus at most a 65535-byte comment.
    const std::uint64_t tailSize = std::min<std::uint64_t>(fileSize, kEndRecordSize + 0xFFFF);
    std::vector<unsigned char> tail(tailSize);
    if (!readAt(file.get(), fileSize - tailSize, tail.data(), tail.size())) {
        error = zipPath.string() + ": cannot read the end of the archive";
        return false;
    }
    size_t endAt = std::string::npos;
    for (size_t i = tail.size() - kEndRecordSize + 1; i-- > 0;) {
        if (get32(&tail[i]) == kEndSignature) {
            endAt = i;
            break;
        }
    }
    if (endAt == std::string::npos) {
        error = zipPath.string() + ": not a ZIP archive (no end-of-central-directory record)";
        return false;
    }
    const unsigned char* end = &tail[endAt];
    const std::uint16_t count = get16(end + 10);
    const std::uint32_t centralSize = get32(end + 12);
    const std::uint32_t centralOffset = get32(end + 16);
    if (static_cast<std::uint64_t>(centralOffset) + centralSize > fileSize) {
        error = zipPath.string() + ": damaged ZIP archive (central directory outside the file)";
        return false;
    }
    std::vector<unsigned char> central(centralSize);
    if (centralSize > 0 && !readAt(file.get(), centralOffset, central.data(), central.size())) {
        error = zipPath.string() + ": cannot read the central directory";
        return false;
    }
    size_t at = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
        if (at + kCentralHeaderSize > central.size() || get32(&central[at]) != kCentralHeaderSignature) {
            error = zipPath.string() + ": damaged ZIP archive (central directory record " +
                    std::to_string(i + 1) + ")";
            return false;
        }
        const unsigned char* r = &central[at];
        ZipEntryInfo info;
        info.flags = get16(r + 8);
        info.method = get16(r + 10);
        info.crc = get32(r + 16);
        info.compressedSize = get32(r + 20);
        info.uncompressedSize = get32(r + 24);
        const std::uint16_t nameLength = get16(r + 28);
        const std::uint16_t extraLength = get16(r + 30);
        const std::uint16_t commentLength = get16(r + 32);
        info.localHeaderOffset = get32(r + 42);
        const size_t recordSize = kCentralHeaderSize + nameLength + extraLength + commentLength;
        if (at + recordSize > central.size()) {
            error = zipPath.string() + ": damaged ZIP archive (central directory record " +
                    std::to_string(i + 1) + ")";
            return false;
        }
        info.name.assign(reinterpret_cast<const char*>(r + kCentralHeaderSize), nameLength);
        entries.push_back(std::move(info));
        at += recordSize;
    }
    return true;
}

bool digestZipEntry(const fs::path& zipPath, const ZipEntryInfo& entry, Digest& digest, std::string& error) {
    const std::string where = zipPath.string() + " (" + entry.name + ")";
    if (entry.flags & 1) {
        error = where + ": the entry is encrypted";
        return false;
    }
    if (entry.method != 0 && entry.method != 8) {
        error = where + ": unsupported compression method " + std::to_string(entry.method);
        return false;
    }
    FilePtr file(std::fopen(zipPath.c_str(), "rb"));
    if (!file) {
        error = describeErrno(zipPath, errno);
        return false;
    }
    unsigned char local[kLocalHeaderSize];
    if (!readAt(file.get(), entry.localHeaderOffset, local, sizeof local) ||
        get32(local) != kLocalHeaderSignature) {
        error = where + ": damaged ZIP archive (local header)";
        return false;
    }
    const std::uint64_t dataStart = static_cast<std::uint64_t>(entry.localHeaderOffset) + kLocalHeaderSize +
                                    get16(local + 26) + get16(local + 28);
    if (::fseeko(file.get(), static_cast<off_t>(dataStart), SEEK_SET) != 0) {
        error = where + ": damaged ZIP archive (data offset)";
        return false;
    }
    Sha256 hash;
    std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    std::uint64_t produced = 0;
    auto take = [&](const unsigned char* data, size_t size) {
        hash.update(data, size);
        crc = static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
        produced += size;
    };
    std::vector<unsigned char> in(1 << 16);
    std::uint64_t remaining = entry.compressedSize;
    if (entry.method == 0) {
        while (remaining > 0) {
            const size_t want = static_cast<size_t>(std::min<std::uint64_t>(remaining, in.size()));
            if (std::fread(in.data(), 1, want, file.get()) != want) {
                error = where + ": archive data ends early";
                return false;
            }
            take(in.data(), want);
            remaining -= want;
        }
    } else {
        z_stream stream{};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
            error = where + ": cannot start inflating";
            return false;
        }
        std::vector<unsigned char> out(1 << 16);
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            if (stream.avail_in == 0) {
                if (remaining == 0)
                    break;
                const size_t want = static_cast<size_t>(std::min<std::uint64_t>(remaining, in.size()));
                if (std::fread(in.data(), 1, want, file.get()) != want)
                    break;
                remaining -= want;
                stream.next_in = in.data();
                stream.avail_in = static_cast<uInt>(want);
            }
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&stream, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END)
                break;
            take(out.data(), out.size() - stream.avail_out);
        }
        inflateEnd(&stream);
        if (rc != Z_STREAM_END) {
            error = where + ": damaged deflate data";
            return false;
        }
    }
    if (produced != entry.uncompressedSize) {
        error = where + ": unpacked size " + std::to_string(produced) + " differs from the recorded " +
                std::to_string(entry.uncompressedSize);
        return false;
    }
    if (crc != entry.crc) {
        error = where + ": CRC-32 mismatch";
        return false;
    }
    digest.size = produced;
    digest.sha256 = hash.finishHex();
    return true;
}

} // namespace vesk::release
