#include "transfer/zip_extract_win.h"

#include "core/handles_win.h"
#include "transfer/file_tree_win.h"
#include "core/windows_text_win.h"

#include <algorithm>
#include <limits>

namespace vesk::updater {

namespace {

class FileZipSource : public ZipSource {
public:
    explicit FileZipSource(const std::string& path)
        : file(::CreateFileW(pathForWindows(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
        LARGE_INTEGER length{};
        if (file && ::GetFileSizeEx(file.get(), &length)) {
            total = static_cast<std::uint64_t>(length.QuadPart);
            opened = true;
        }
    }

    bool isOpen() const { return opened; }
    std::uint64_t size() const override { return total; }

    bool read(std::uint64_t offset, void* buffer, std::size_t length) override {
        auto* out = static_cast<unsigned char*>(buffer);
        while (length > 0) {
            OVERLAPPED position{};
            position.Offset = static_cast<DWORD>(offset);
            position.OffsetHigh = static_cast<DWORD>(offset >> 32);
            const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(length, 1 << 20));
            DWORD got = 0;
            if (!::ReadFile(file.get(), out, wanted, &got, &position) || got == 0) {
                return false;
            }
            out += got;
            offset += got;
            length -= got;
        }
        return true;
    }

private:
    FileHandle file;
    std::uint64_t total = 0;
    bool opened = false;
};

// Writes entries below root. The reader has already checked every name, so joining is all that is left.
class DirectorySink : public ZipSink {
public:
    explicit DirectorySink(std::string root) : root(std::move(root)) {}

    bool makeDirectory(const std::string& relativePath) override {
        return ensureDirectories(relativePath, relativePath.size());
    }

    bool beginFile(const std::string& relativePath) override {
        const std::size_t lastSlash = relativePath.rfind('/');
        if (lastSlash != std::string::npos && !ensureDirectories(relativePath, lastSlash)) {
            return false;
        }
        // CREATE_NEW: an entry never replaces anything, not even through a short-name alias.
        file.reset(::CreateFileW(pathForWindows(fullPath(relativePath, relativePath.size())).c_str(),
                                 GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        return file.valid();
    }

    bool writeFile(const unsigned char* data, std::size_t length) override {
        while (length > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(length, 1 << 20));
            DWORD written = 0;
            if (!::WriteFile(file.get(), data, chunk, &written, nullptr) || written == 0) {
                return false;
            }
            data += written;
            length -= written;
        }
        return true;
    }

    bool endFile() override {
        const HANDLE handle = file.release();
        return handle != INVALID_HANDLE_VALUE && ::CloseHandle(handle) != 0;
    }

private:
    std::string fullPath(const std::string& relativePath, std::size_t length) const {
        std::string path = root + "\\" + relativePath.substr(0, length);
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    }

    // Creates each folder of relativePath's first length characters that does not exist yet.
    bool ensureDirectories(const std::string& relativePath, std::size_t length) {
        std::size_t end = 0;
        while (end < length) {
            end = std::min(relativePath.find('/', end + 1), length);
            const std::string path = fullPath(relativePath, end);
            if (::CreateDirectoryW(pathForWindows(path).c_str(), nullptr)) {
                continue;
            }
            const DWORD attributes = ::GetFileAttributesW(pathForWindows(path).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                return false;
            }
        }
        return true;
    }

    std::string root;
    FileHandle file;
};

} // namespace

ZipStatus extractArchive(const std::string& archivePath, const std::string& directory,
                         const ZipLimits& limits) {
    FileZipSource source(archivePath);
    if (!source.isOpen()) {
        return ZipStatus::ReadFailed;
    }
    ZipStatus status;
    {
        DirectorySink sink(directory);
        status = extractZip(source, sink, limits);
    }
    if (status != ZipStatus::Ok) {
        removeDirectoryContents(directory);
    }
    return status;
}

} // namespace vesk::updater
