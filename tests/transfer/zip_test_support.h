#pragma once

// Helpers shared by the ZIP and fallback tests of this folder.

#include "support/temp_dir.h"
#include "transfer/zip_reader.h"

#include <map>
#include <set>
#include <string>

namespace vesk::test {

// Path of a fixture made by make_zip_fixtures.py, e.g. zipFixture("hostile\\dotdot.zip").
inline std::string zipFixture(const std::string& relative) {
    return std::string(VESK_ZIP_FIXTURES) + "\\" + relative;
}

// The bytes of a file the fixture archives were made from, e.g. zipFixtureSource("small\\b.bin").
inline std::string zipFixtureSource(const std::string& relative) {
    return readFileBytes(zipFixture("src\\" + relative));
}

// Everything an unpacking produced, kept in memory. Refuses a second file of the same path, like a real
// folder would.
class MemorySink : public updater::ZipSink {
public:
    bool makeDirectory(const std::string& relativePath) override {
        directories.insert(relativePath);
        return true;
    }
    bool beginFile(const std::string& relativePath) override {
        if (files.count(relativePath) != 0) {
            return false;
        }
        current = relativePath;
        files[current];
        return true;
    }
    bool writeFile(const unsigned char* data, std::size_t length) override {
        files[current].append(reinterpret_cast<const char*>(data), length);
        return true;
    }
    bool endFile() override { return true; }

    bool empty() const { return files.empty() && directories.empty(); }

    std::map<std::string, std::string> files;
    std::set<std::string> directories;

private:
    std::string current;
};

} // namespace vesk::test
