#pragma once

#include <string>

namespace vesk::test {

// A fresh, uniquely named folder under the system temp folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Windows path without a trailing backslash.
    const std::string& path() const { return path_; }
    // path() + "\\" + relative.
    std::string file(const std::string& relative) const { return path_ + "\\" + relative; }

private:
    std::string path_;
};

// A UTF-8 path as the …W calls take it, long ones included.
std::wstring widePath(const std::string& path);

// Whole-file helpers for tests (binary, no translation).
std::string readFileBytes(const std::string& path);
bool writeFileBytes(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// Creates the folder and every missing folder above it; true when it exists afterwards.
bool createFolders(const std::string& path);
// Removes a file or a folder tree; true when nothing is left.
bool removeTree(const std::string& path);
// The folder of the running test executable, without a trailing backslash.
std::string executableDirectory();

} // namespace vesk::test
