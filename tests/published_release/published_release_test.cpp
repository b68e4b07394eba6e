// A release published by the native release tool, read the way the updater reads it: its signature
// check, its textual manifest lookups, its download locations, its hashing and its ZIP unpacking.

#include "core/handles_win.h"
#include "core/logger.h"
#include "integrity/file_hash.h"
#include "integrity/manifest_signature.h"
#include "manifest/manifest_text.h"
#include "support/temp_dir.h"
#include "transfer/file_tree_win.h"
#include "transfer/url_candidates.h"
#include "transfer/zip_extract_win.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace vesk::updater {
namespace {

using test::fileExists;
using test::readFileBytes;
using test::TempDir;

// Written by the release tool during this test run (see tests/release_tool).
const std::string kSample = std::string(VESK_TESTS_BINARY_DIR) + "\\release_tool\\sample-release";
const std::string kServer = kSample + "\\server";
const std::string kRelease = kSample + "\\release";

// Every file below folder, keyed by its own name, with its path relative to folder.
void listFiles(const std::string& folder, const std::string& prefix,
               std::map<std::string, std::string>& files) {
    WIN32_FIND_DATAA entry;
    FindHandle find(::FindFirstFileA((folder + "\\" + prefix + "*").c_str(), &entry));
    if (!find) {
        return;
    }
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            listFiles(folder, prefix + name + "\\", files);
        } else {
            files[name] = prefix + name;
        }
    } while (::FindNextFileA(find.get(), &entry));
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// True when some log line ends with the given text (the lines begin with a time stamp and the level).
bool logHasLine(const std::vector<std::string>& lines, const std::string& level, const std::string& text) {
    const std::string tail = "[" + level + "] [] " + text;
    for (const std::string& line : lines) {
        if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
            return true;
        }
    }
    return false;
}

std::string manifestText() {
    return readFileBytes(kServer + "\\manifest.json");
}

class PublishedRelease : public ::testing::Test {
protected:
    void SetUp() override {
        text = manifestText();
        ASSERT_FALSE(text.empty()) << "the release tool's sample release is missing: " << kServer;
        listFiles(kRelease, "", released);
        ASSERT_GE(released.size(), 5u);
    }

    std::string text;
    std::map<std::string, std::string> released; // name -> path relative to the release folder
};

TEST_F(PublishedRelease, SignatureCheckPassesInBothWordings) {
    TempDir dir;
    {
        Logger log(dir.file("detailed.log"));
        logManifestSignatureStatus(text, SignatureReportStyle::Detailed, log);
    }
    const std::vector<std::string> detailed = linesOf(readFileBytes(dir.file("detailed.log")));
    EXPECT_TRUE(logHasLine(detailed, "INFO", "[OK] RSA Signature Verification: PASSED"));
    EXPECT_TRUE(logHasLine(detailed, "INFO", "     Manifest integrity confirmed"));
    EXPECT_TRUE(logHasLine(detailed, "INFO", "  Signer: VESK release tests"));
    EXPECT_FALSE(logHasLine(detailed, "WARNING", "[FAILED] RSA Signature Verification: FAILED"));
    {
        Logger log(dir.file("brief.log"));
        logManifestSignatureStatus(text, SignatureReportStyle::Brief, log);
    }
    EXPECT_TRUE(logHasLine(linesOf(readFileBytes(dir.file("brief.log"))), "INFO",
                           "[OK] RSA Signature Verification: PASSED"));
}

TEST_F(PublishedRelease, TamperingWithTheManifestFailsTheSignature) {
    std::string tampered = text;
    const size_t at = tampered.find("\"version\": \"2.1\"");
    ASSERT_NE(at, std::string::npos);
    tampered.replace(at, 16, "\"version\": \"2.2\"");
    TempDir dir;
    {
        Logger log(dir.file("tampered.log"));
        logManifestSignatureStatus(tampered, SignatureReportStyle::Detailed, log);
    }
    EXPECT_TRUE(logHasLine(linesOf(readFileBytes(dir.file("tampered.log"))), "WARNING",
                           "[FAILED] RSA Signature Verification: FAILED"));
}

TEST_F(PublishedRelease, EveryFileIsFoundAndMatchesWhatWasReleased) {
    const std::string manifestObject = ManifestText::extractValue(text, "manifest");
    ASSERT_FALSE(manifestObject.empty());
    const std::string version = ManifestText::extractValue(manifestObject, "version");
    const std::string build = ManifestText::extractValue(manifestObject, "build_number");
    EXPECT_EQ(version, "2.1");
    EXPECT_EQ(build, "345");

    for (const auto& [name, relative] : released) {
        SCOPED_TRACE(name);
        const std::string entry = ManifestText::findFileObject(manifestObject, name);
        ASSERT_FALSE(entry.empty());
        const std::string source = kRelease + "\\" + relative;
        const std::string sourceBytes = readFileBytes(source);
        EXPECT_EQ(ManifestText::extractValue(entry, "size"), std::to_string(sourceBytes.size()));
        EXPECT_EQ(ManifestText::extractValue(entry, "sha256"), computeFileSha256(source));
        // A file from a subfolder is installed there; the others at the name itself.
        const std::string target = ManifestText::extractValue(entry, "target_path");
        EXPECT_EQ(target.empty() ? name : target, relative);

        // Where the updater downloads it: the archive first, then the plain file.
        std::string url = ManifestText::extractValue(entry, "url");
        EXPECT_EQ(url, "");
        UrlCandidates candidates({kServer}, true);
        candidates.reset("/updates/" + version + "." + build + "/" + name, name);
        std::string archiveUrl, plainUrl;
        bool isArchive = false;
        ASSERT_TRUE(candidates.next(archiveUrl, isArchive));
        EXPECT_TRUE(isArchive);
        ASSERT_TRUE(candidates.next(plainUrl, isArchive));
        EXPECT_FALSE(isArchive);

        EXPECT_EQ(computeFileSha256(plainUrl), computeFileSha256(source));
        EXPECT_EQ(readFileBytes(plainUrl), sourceBytes);

        TempDir unpacked;
        ASSERT_EQ(extractArchive(archiveUrl, unpacked.path()), ZipStatus::Ok) << archiveUrl;
        const std::string inside = findFileInTree(unpacked.path(), name);
        ASSERT_FALSE(inside.empty());
        EXPECT_EQ(computeFileSha256(inside), computeFileSha256(source));
    }
}

TEST_F(PublishedRelease, TheUpdatersOwnFilesAreAllListed) {
    const std::string manifestObject = ManifestText::extractValue(text, "manifest");
    for (const char* name :
         {"VESK_Updater.exe", "Updater.exe", "libcurl.dll", "libsodium.dll", "zlib1.dll"}) {
        EXPECT_FALSE(ManifestText::findFileObject(manifestObject, name).empty()) << name;
    }
    // Names are matched whole: no entry answers for a name that only ends like another one.
    EXPECT_TRUE(ManifestText::findFileObject(manifestObject, "pdater.exe").empty());
}

} // namespace
} // namespace vesk::updater
