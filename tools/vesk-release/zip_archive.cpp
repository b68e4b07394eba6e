#include "zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <memory>

namespace vesk::release {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint16_t kVersionNeeded = 20; // 2.0: deflate
constexpr std::uint16_t kUtf8NameFlag = 0x0800;
constexpr size_t kLocalHeaderSize = 30;

void put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

} // namespace

std::uint32_t dosDateTime(std::time_t when) {
    std::tm parts{};
    ::gmtime_r(&when, &parts);
    int year = parts.tm_year + 1900;
    if (year < 1980) {
        return (1u << 5) | 1u; // 1980-01-01 00:00
    }
    year = std::min(year, 2107);
    const std::uint32_t date =
        static_cast<std::uint32_t>(((year - 1980) << 9) | ((parts.tm_mon + 1) << 5) | parts.tm_mday);
    const std::uint32_t time =
        static_cast<std::uint32_t>((parts.tm_hour << 11) | (parts.tm_min << 5) | (parts.tm_sec / 2));
    return (date << 16) | time;
}

bool deflateWorthwhile(const char* sample, size_t size, int level) {
    if (size == 0 || level == 0) {
        return false;
    }
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
        if (!emit(out_.data(), produced, error)) {
            return false;
        }
        if (flush == Z_FINISH ? rc == Z_STREAM_END : stream->avail_out != 0) {
            return true;
        }
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
    if (!ok) {
        abandon();
    }
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
        if (error.empty()) {
            error = describeErrno(path_, errno);
        }
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
        if (error.empty()) {
            error = describeErrno(path_, errno);
        }
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

FileZipSource::FileZipSource(const fs::path& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd_ >= 0 && ::fstat(fd_, &info) == 0) {
        size_ = static_cast<std::uint64_t>(info.st_size);
    }
}

FileZipSource::~FileZipSource() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool FileZipSource::read(std::uint64_t offset, void* buffer, std::size_t length) {
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t got = ::pread(fd_, out, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        out += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

namespace {

class DigestSink : public vesk::updater::ZipSink {
public:
    explicit DigestSink(std::vector<std::pair<std::string, Digest>>& files) : files_(files) {}
    bool makeDirectory(const std::string&) override { return true; }
    bool beginFile(const std::string& relativePath) override {
        path_ = relativePath;
        hash_ = std::make_unique<Sha256>();
        size_ = 0;
        return true;
    }
    bool writeFile(const unsigned char* data, std::size_t length) override {
        hash_->update(data, length);
        size_ += length;
        return true;
    }
    bool endFile() override {
        files_.push_back({path_, Digest{size_, hash_->finishHex()}});
        return true;
    }

private:
    std::vector<std::pair<std::string, Digest>>& files_;
    std::string path_;
    std::unique_ptr<Sha256> hash_;
    std::uint64_t size_ = 0;
};

} // namespace

vesk::updater::ZipStatus digestArchive(const fs::path& zipPath,
                                       std::vector<std::pair<std::string, Digest>>& files) {
    files.clear();
    FileZipSource source(zipPath);
    if (!source.isOpen()) {
        return vesk::updater::ZipStatus::ReadFailed;
    }
    DigestSink sink(files);
    const vesk::updater::ZipStatus status = vesk::updater::extractZip(source, sink);
    if (status != vesk::updater::ZipStatus::Ok) {
        files.clear();
    }
    return status;
}

} // namespace vesk::release
