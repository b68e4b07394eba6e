#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include <unistd.h>

namespace vesk::release {

namespace fs = std::filesystem;

// Size and SHA-256 (64 lower-case hex digits) of some bytes.
struct Digest {
    std::uint64_t size = 0;
    std::string sha256;
};

// Incremental SHA-256 over OpenSSL's EVP interface.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, size_t size);
    // The digest as lower-case hex; the object is spent afterwards.
    std::string finishHex();

private:
    void* context_;
};

std::string sha256Hex(std::string_view bytes);

// Reads a whole file; on failure returns false with error naming the file and the reason.
bool readWholeFile(const fs::path& path, std::string& out, std::string& error);

// Streams a file through consume() in chunks of chunkSize bytes; false with error on a read failure or
// when consume() returns false (then error is left to the caller's wording if consume() set none).
bool streamFile(const fs::path& path, size_t chunkSize,
                const std::function<bool(const char*, size_t)>& consume, std::string& error);

// Size and SHA-256 of a file's content.
bool digestFile(const fs::path& path, Digest& digest, std::string& error);

// A name beside target that no other writer uses: target + ".tmp-" + process id + "-" + counter.
fs::path temporarySibling(const fs::path& target);

enum class ExistingFile { Replace, Keep };

// Writes bytes to a temporary sibling of path (created with the given permission bits), flushes it to
// disk and moves it to path, so readers see either the old file or the whole new one. With
// ExistingFile::Keep an existing path is an error and stays untouched. On failure nothing is left behind.
bool writeFileAtomically(const fs::path& path, std::string_view bytes, std::string& error,
                         ExistingFile existing = ExistingFile::Replace, unsigned mode = 0644);

// The first half of writeFileAtomically: bytes written and synced to a temporary sibling of path, named in
// temporary, for the caller to rename over path. On failure nothing is left behind.
bool writeSyncedTemporary(const fs::path& path, std::string_view bytes, fs::path& temporary, std::string& error,
                          unsigned mode = 0644);

// Owns a POSIX file descriptor and closes it when it goes. close() closes it at once and says whether that
// worked: for a file just written, the close can be where a write error first shows.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd() { static_cast<void>(close()); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            static_cast<void>(close());
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    [[nodiscard]] bool close() noexcept {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

// "path: reason" from an errno value.
std::string describeErrno(const fs::path& path, int errorNumber);

} // namespace vesk::release
