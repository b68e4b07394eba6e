#include "support/temp_dir.h"

#include "core/handles_win.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vesk::test {

namespace {
std::atomic<unsigned> counter{0};
}

TempDir::TempDir() {
    char base[MAX_PATH + 1] = {};
    DWORD length = ::GetTempPathA(MAX_PATH, base);
    std::string root(base, length);
    if (!root.empty() && root.back() == '\\') {
        root.pop_back();
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ostringstream name;
        name << root << "\\vesk_test_" << ::GetCurrentProcessId() << "_" << ::GetTickCount64() << "_"
             << counter++;
        if (::CreateDirectoryA(name.str().c_str(), nullptr)) {
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
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool fileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool removeTree(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAA entry;
        vesk::updater::FindHandle find(::FindFirstFileA((path + "\\*").c_str(), &entry));
        if (find) {
            do {
                const std::string name = entry.cFileName;
                if (name != "." && name != "..") {
                    removeTree(path + "\\" + name);
                }
            } while (::FindNextFileA(find.get(), &entry));
        }
        ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return ::RemoveDirectoryA(path.c_str()) != 0;
    }
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileA(path.c_str()) != 0;
}

std::string executableDirectory() {
    char buffer[MAX_PATH] = {};
    std::string path(buffer, ::GetModuleFileNameA(nullptr, buffer, MAX_PATH));
    return path.substr(0, path.find_last_of("\\/"));
}

} // namespace vesk::test
