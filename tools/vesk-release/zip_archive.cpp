#include "zip_archive.h"

#include <libdeflate.h>

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

namespace {

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

// One compressor per thread and level: allocating one costs more than compressing a small file.
libdeflate_compressor* compressorFor(int level) {
    thread_local Compressor compressors[10];
    if (!compressors[level]) {
        compressors[level].reset(libdeflate_alloc_compressor(level));
    }
    return compressors[level].get();
}

// Raw deflate of data into out; 0 when it does not fit in limit bytes (or cannot be compressed).
size_t deflateInto(const unsigned char* data, size_t size, int level, std::vector<unsigned char>& out,
                   size_t limit) {
    libdeflate_compressor* compressor = compressorFor(level);
    if (!compressor) {
        return 0;
    }
    out.resize(std::min(limit, libdeflate_deflate_compress_bound(compressor, size)));
    return libdeflate_deflate_compress(compressor, data, size, out.data(), out.size());
}

bool writeAllTo(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, p, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace

bool deflateWorthwhile(const char* sample, size_t size, int level) {
    if (size == 0 || level <= 0 || level > 9) {
        return false;
    }
    std::vector<unsigned char> out;
    // Anything longer than 97 % of the sample is no saving worth having.
    const size_t produced =
        deflateInto(reinterpret_cast<const unsigned char*>(sample), size, level, out, size * 97 / 100);
    return produced > 0;
}

bool deflateWorthwhileSampled(const unsigned char* data, size_t size, int level) {
    // Three slices at the fastest level: data that saves nothing there saves little at any level, and the
    // trial costs a small fraction of deflating even a small file.
    constexpr size_t kSlice = 16 * 1024;
    if (level <= 0) {
        return false;
    }
    if (size <= 3 * kSlice) {
        return deflateWorthwhile(reinterpret_cast<const char*>(data), size, 1);
    }
    std::vector<unsigned char> sample;
    sample.reserve(3 * kSlice);
    for (const size_t at : {size_t{0}, size / 2 - kSlice / 2, size - kSlice}) {
        sample.insert(sample.end(), data + at, data + at + kSlice);
    }
    return deflateWorthwhile(reinterpret_cast<const char*>(sample.data()), sample.size(), 1);
}

bool writeSingleEntryZip(const fs::path& zipPath, const std::string& entryName, const unsigned char* data,
                         size_t size, bool deflate, int level, std::uint32_t modified, std::string& error,
                         bool onlyIfSmaller) {
    if (entryName.empty() || entryName.size() > 0xFFFF) {
        error = zipPath.string() + ": unusable entry name";
        return false;
    }
    if (size >= kZipSizeLimit) {
        error = zipPath.string() + ": the file is too large for a ZIP archive without ZIP64 (4 GiB)";
        return false;
    }
    const std::uint32_t crc = static_cast<std::uint32_t>(libdeflate_crc32(0, data, size));
    std::vector<unsigned char> deflated;
    size_t compressedSize = size;
    bool deflatedEntry = deflate && level > 0 && level <= 9;
    if (deflatedEntry) {
        // With onlyIfSmaller, libdeflate gives up (0) on output that does not save 3 %, and the data is stored.
        compressedSize = deflateInto(data, size, level, deflated, onlyIfSmaller ? size / 100 * 97 : SIZE_MAX);
        if (compressedSize == 0 && onlyIfSmaller) {
            deflatedEntry = false;
            compressedSize = size;
        } else if (compressedSize == 0) {
            error = zipPath.string() + ": deflate failed";
            return false;
        }
    }
    const std::uint64_t dataEnd = kLocalHeaderSize + entryName.size() + compressedSize;
    if (dataEnd >= kZipSizeLimit) {
        error = zipPath.string() + ": the archive would exceed the 4 GiB limit of ZIP without ZIP64";
        return false;
    }
    const std::uint16_t method = deflatedEntry ? 8 : 0;
    std::string sizes;
    put32(sizes, crc);
    put32(sizes, static_cast<std::uint32_t>(compressedSize));
    put32(sizes, static_cast<std::uint32_t>(size));
    std::string header;
    put32(header, kLocalHeaderSignature);
    put16(header, kVersionNeeded);
    put16(header, kUtf8NameFlag);
    put16(header, method);
    put32(header, modified);
    header += sizes;
    put16(header, static_cast<std::uint16_t>(entryName.size()));
    put16(header, 0);
    header += entryName;

    std::string central;
    put32(central, kCentralHeaderSignature);
    put16(central, kVersionNeeded); // made by: MS-DOS attribute layout, version 2.0
    put16(central, kVersionNeeded);
    put16(central, kUtf8NameFlag);
    put16(central, method);
    put32(central, modified);
    central += sizes;
    put16(central, static_cast<std::uint16_t>(entryName.size()));
    put16(central, 0); // extra
    put16(central, 0); // comment
    put16(central, 0); // disk
    put16(central, 0); // internal attributes
    put32(central, 0); // external attributes
    put32(central, 0); // local header offset
    central += entryName;
    const std::uint32_t centralSize = static_cast<std::uint32_t>(central.size());
    put32(central, kEndSignature);
    put16(central, 0);
    put16(central, 0);
    put16(central, 1);
    put16(central, 1);
    put32(central, centralSize);
    put32(central, static_cast<std::uint32_t>(dataEnd));
    put16(central, 0);

    UniqueFd fd(::open(zipPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        error = describeErrno(zipPath, errno);
        return false;
    }
    const unsigned char* body = deflatedEntry ? deflated.data() : data;
    const bool ok = writeAllTo(fd.get(), header.data(), header.size()) &&
                    writeAllTo(fd.get(), body, compressedSize) &&
                    writeAllTo(fd.get(), central.data(), central.size());
    const int writeErrno = errno;
    if (!fd.close() || !ok) {
        error = describeErrno(zipPath, ok ? errno : writeErrno);
        ::unlink(zipPath.c_str());
        return false;
    }
    return true;
}

SingleEntryZipWriter::~SingleEntryZipWriter() {
    abandon();
}

void SingleEntryZipWriter::abandon() {
    open_ = false;
    data_.clear();
    data_.shrink_to_fit();
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
    level_ = level;
    modified_ = modified;
    open_ = true;
    return true;
}

bool SingleEntryZipWriter::write(const char* data, size_t size, std::string& error) {
    if (!open_) {
        error = path_.string() + ": archive is not open";
        return false;
    }
    if (data_.size() + size >= kZipSizeLimit) {
        error = path_.string() + ": the file is too large for a ZIP archive without ZIP64 (4 GiB)";
        abandon();
        return false;
    }
    data_.append(data, size);
    return true;
}

bool SingleEntryZipWriter::finish(std::string& error) {
    if (!open_) {
        error = path_.string() + ": archive is not open";
        return false;
    }
    const bool ok = writeSingleEntryZip(path_, name_, reinterpret_cast<const unsigned char*>(data_.data()),
                                        data_.size(), deflate_, level_, modified_, error);
    abandon();
    if (!ok) {
        return false;
    }
    const UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    const bool synced = fd && ::fsync(fd.get()) == 0;
    if (!synced) {
        error = describeErrno(path_, errno);
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
