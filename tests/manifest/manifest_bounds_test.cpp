#include "guarded_buffer_win.h"
#include "manifest/manifest_text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using vesk::test::GuardedBuffer;
using vesk::updater::extractManifestValue;
using vesk::updater::ManifestText;

namespace {

// Small, but with every construct the readers step through: nested objects and arrays, escapes
// (also one right before a quote), numbers, all three name spacings and a second "files" key.
const std::string kManifest = R"({"manifest": {"version": "2.1.0", "build_number": 118,
 "extras": {"files": [{"name": "x"}]},
 "files": [
  {"name": "Updater.exe", "size": 1024, "sha256": "AB12", "url": "a\/b\\c\"d"},
  {"name":"zlib1.dll", "size": -1.5e2, "target_path": "lib\\zlib1.dll", "u": "\u00e9\"},
  {"name":  "libcurl.dll", "meta": {"k": [1, {"z": 2}]}, "flag": true}
 ]},
 "signature": {"algorithm": "RSA", "signature": "c2ln\\"}}
)";

const char* const kNames[] = {"Updater.exe", "zlib1.dll", "libcurl.dll", "x"};
const char* const kKeys[] = {"manifest", "version", "build_number", "extras", "files", "name", "size",
                             "sha256",   "url",     "target_path",  "u",      "meta",  "flag", "signature"};

bool contains(std::string_view haystack, const std::string& needle) {
    return haystack.find(needle) != std::string_view::npos;
}

} // namespace

TEST(ManifestBounds, GuardPageIsInPlace) {
    GuardedBuffer empty("");
    EXPECT_TRUE(empty.guardActive());
    GuardedBuffer some(kManifest);
    EXPECT_TRUE(some.guardActive());
    EXPECT_EQ(some.view(), kManifest);
}

TEST(ManifestBounds, FullManifestReadsAsPublished) {
    GuardedBuffer whole(kManifest);
    bool dumped = false;
    const std::string updater = ManifestText::findFileObject(whole.view(), "Updater.exe", nullptr, dumped);
    EXPECT_EQ(updater, R"({"name": "Updater.exe", "size": 1024, "sha256": "AB12", "url": "a\/b\\c\"d"})");
    GuardedBuffer entry(updater);
    EXPECT_EQ(extractManifestValue(entry.view(), "url"), "a/b\\c\"d");
    EXPECT_EQ(extractManifestValue(entry.view(), "size"), "1024");

    const std::string zlib = ManifestText::findFileObject(whole.view(), "zlib1.dll", nullptr, dumped);
    GuardedBuffer zlibEntry(zlib);
    EXPECT_EQ(extractManifestValue(zlibEntry.view(), "size"), "-1.5");
    EXPECT_EQ(extractManifestValue(zlibEntry.view(), "target_path"), "lib\\zlib1.dll");
    EXPECT_EQ(extractManifestValue(zlibEntry.view(), "u"), "\\u00e9\"}");

    EXPECT_EQ(ManifestText::findFileObject(whole.view(), "libcurl.dll", nullptr, dumped),
              R"({"name":  "libcurl.dll", "meta": {"k": [1, {"z": 2})");
    EXPECT_EQ(extractManifestValue(whole.view(), "version"), "2.1.0");
    EXPECT_EQ(extractManifestValue(whole.view(), "build_number"), "118");
    EXPECT_EQ(extractManifestValue(whole.view(), "signature"),
              R"({"algorithm": "RSA", "signature": "c2ln\\"})");
}

// Every prefix of the manifest, each placed right before an inaccessible page: a read of one byte
// past the end faults. Whatever is returned must come from the prefix itself.
TEST(ManifestBounds, EveryTruncationStaysInsideTheText) {
    for (size_t length = 0; length <= kManifest.size(); ++length) {
        const std::string prefix = kManifest.substr(0, length);
        GuardedBuffer buffer(prefix);
        ASSERT_TRUE(buffer.guardActive());
        bool dumped = false;
        size_t lines = 0;
        const auto sink = [&lines](const std::string&, const std::string&) { ++lines; };
        for (const char* name : kNames) {
            const std::string found = ManifestText::findFileObject(buffer.view(), name, sink, dumped);
            if (!found.empty()) {
                ASSERT_TRUE(contains(prefix, found)) << "length " << length << " name " << name;
                GuardedBuffer entry(found);
                for (const char* key : kKeys) {
                    extractManifestValue(entry.view(), key);
                }
            }
        }
        ASSERT_GE(lines, 4u * 3u); // every lookup logs at least its first three lines
        for (const char* key : kKeys) {
            const std::string value = extractManifestValue(buffer.view(), key);
            const std::string needle = std::string("\"") + key + "\":";
            const size_t at = prefix.find(needle);
            if (at == std::string::npos) {
                ASSERT_EQ(value, "") << "length " << length << " key " << key;
                continue;
            }
            const char first = prefix.find_first_not_of(" \t", at + needle.size()) < length
                                   ? prefix[prefix.find_first_not_of(" \t", at + needle.size())]
                                   : '\0';
            if (first != '"' && !value.empty()) {
                ASSERT_TRUE(contains(prefix, value)) << "length " << length << " key " << key;
            }
        }
    }
}

// The same for cuts of a string value at every position, where a backslash may end the text.
TEST(ManifestBounds, StringCutAnywhereDecodesWhatIsThere) {
    const std::string text = R"({"s": "a\"b\\c\/d\ne\u0041\)";
    const std::string decoded[] = {"", "a", "a\\", "a\"", "a\"b", "a\"b\\", "a\"b\\", "a\"b\\c"};
    for (size_t length = 0; length <= text.size(); ++length) {
        GuardedBuffer buffer(std::string_view(text).substr(0, length));
        const std::string value = extractManifestValue(buffer.view(), "s");
        const size_t valueStart = 7; // just after the opening quote
        if (length < valueStart) {
            EXPECT_EQ(value, "") << length;
        } else if (length - valueStart < std::size(decoded)) {
            EXPECT_EQ(value, decoded[length - valueStart]) << length;
        }
    }
    GuardedBuffer whole(text);
    EXPECT_EQ(extractManifestValue(whole.view(), "s"), "a\"b\\c/d\ne\\u0041\\");
}
