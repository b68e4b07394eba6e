#include "support/temp_dir.h"

#include "core/handles_win.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vesk::test {

namespace {
std::atomic<unsigned> counter{0};
}

std::wstring widePath(const std::string& path) {
    return vesk::updater::pathForWindows(path);
}

TempDir::TempDir() {
    std::string root = vesk::updater::temporaryFolder();
    if (!root.empty() && root.back() == '\\') {
        root.pop_back();
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ostringstream name;
        name << root << "\\vesk_test_" << ::GetCurrentProcessId() << "_" << ::GetTickCount64() << "_"
             << counter++;
        if (::CreateDirectoryW(widePath(name.str()).c_str(), nullptr)) {
            path_ = name.str();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    removeTree(path_);
}

std::string readFileBytes(const std::string& path) {
    std::ifstream in(widePath(path).c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(widePath(path).c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool fileExists(const std::string& path) {
    return ::GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool createFolders(const std::string& path) {
    for (std::size_t end = path.find('\\', 3); end != std::string::npos; end = path.find('\\', end + 1)) {
        ::CreateDirectoryW(widePath(path.substr(0, end)).c_str(), nullptr);
    }
    ::CreateDirectoryW(widePath(path).c_str(), nullptr);
    return fileExists(path);
}

bool removeTree(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(widePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW entry;
        vesk::updater::FindHandle find(::FindFirstFileW(widePath(path + "\\*").c_str(), &entry));
        if (find) {
            do {
                const std::string name = vesk::updater::narrow(entry.cFileName);
                if (name != "." && name != "..") {
                    removeTree(path + "\\" + name);
                }
            } while (::FindNextFileW(find.get(), &entry));
        }
        ::SetFileAttributesW(widePath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
        return ::RemoveDirectoryW(widePath(path).c_str()) != 0;
    }
    ::SetFileAttributesW(widePath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(widePath(path).c_str()) != 0;
}

std::string executableDirectory() {
    return vesk::updater::runningProgramFolder();
}

} // namespace vesk::test
