#include "file_util.h"

#include "encoding.h"

#include <openssl/evp.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vesk::release {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close (which may flush) succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha256(), nullptr);
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
}

void Sha256::update(const void* data, size_t size) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, size);
}

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &length);
    return toHex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}

std::string describeErrno(const fs::path& path, int errorNumber) {
    return path.string() + ": " + std::strerror(errorNumber);
}

bool streamFile(const fs::path& path, size_t chunkSize,
                const std::function<bool(const char*, size_t)>& consume, std::string& error) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        error = describeErrno(path, errno);
        return false;
    }
    std::vector<char> buffer(chunkSize);
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = describeErrno(path, errno);
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (!consume(buffer.data(), static_cast<size_t>(got))) {
            return false;
        }
    }
}

bool readWholeFile(const fs::path& path, std::string& out, std::string& error) {
    out.clear();
    std::string content;
    if (!streamFile(
            path, 1 << 16,
            [&](const char* data, size_t size) {
                content.append(data, size);
                return true;
            },
            error)) {
        return false;
    }
    out = std::move(content);
    return true;
}

bool digestFile(const fs::path& path, Digest& digest, std::string& error) {
    Sha256 hash;
    std::uint64_t size = 0;
    if (!streamFile(
            path, 1 << 20,
            [&](const char* data, size_t length) {
                hash.update(data, length);
                size += length;
                return true;
            },
            error)) {
        return false;
    }
    digest.size = size;
    digest.sha256 = hash.finishHex();
    return true;
}

fs::path temporarySibling(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    fs::path result = target;
    result += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    return result;
}

bool writeSyncedTemporary(const fs::path& path, std::string_view bytes, fs::path& temporary, std::string& error,
                          unsigned mode) {
    temporary = temporarySibling(path);
    Descriptor fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode)));
    if (fd.get() < 0) {
        error = describeErrno(temporary, errno);
        return false;
    }
    if (!writeAll(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0 || !fd.close()) {
        error = describeErrno(temporary, errno);
        fd.close();
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool writeFileAtomically(const fs::path& path, std::string_view bytes, std::string& error,
                         ExistingFile existing, unsigned mode) {
    fs::path temporary;
    if (!writeSyncedTemporary(path, bytes, temporary, error, mode)) {
        return false;
    }
    if (existing == ExistingFile::Keep) {
        // link() refuses an existing target, which rename() would silently replace.
        const bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
        const int linkError = errno;
        ::unlink(temporary.c_str());
        if (!linked) {
            error = linkError == EEXIST ? path.string() + ": already exists (not overwritten)"
                                        : describeErrno(path, linkError);
            return false;
        }
        return true;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = describeErrno(path, errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace vesk::release
