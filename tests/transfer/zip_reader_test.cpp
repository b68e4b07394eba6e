#include "transfer/zip_reader.h"
#include "zip_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vesk::updater {
namespace {

using test::MemorySink;
using test::readFileBytes;
using test::zipFixture;
using test::zipFixtureSource;

ZipStatus unpack(const std::string& bytes, MemorySink& sink, const ZipLimits& limits = {}) {
    MemoryZipSource archive(bytes);
    return extractZip(archive, sink, limits);
}

TEST(ZipEntryNames, PlainRelativeNamesAreSafe) {
    for (const char* name : {"Updater.exe", "pkg/bin/Updater.exe", "pkg/", "a b/c-d_e.f(1)", ".hidden",
                             "...x", "con_notes.txt", "com10", "lpt", "concat.txt", "nul_", "x.con"}) {
        EXPECT_TRUE(isSafeEntryName(name)) << name;
    }
}

TEST(ZipEntryNames, NamesThatLeaveTheFolderOrHitDevicesAreRefused) {
    for (const char* name : {"",           "/",
                             "/abs.txt",   "//server/share/x",
                             "../x",       "a/../../x",
                             "a/..",       "..",
                             ".",          "./x",
                             "a//b",       "a\\b",
                             "..\\x",      "\\x",
                             "C:/x",       "C:x",
                             "x:stream",   "x.txt::$DATA",
                             "pkg//",      "CON",
                             "con",        "NUL.txt",
                             "nul.tar.gz", "pkg/COM1",
                             "LPT1.log",   "Aux",
                             "PRN",        "com9.dll",
                             "lpt0",       "prn .txt",
                             "CONIN$",     "conout$.x",
                             "x.",         "x ",
                             "dir./y",     ".. /x",
                             "a*b",        "a?b",
                             "a<b",        "a>b",
                             "a|b",        "a\"b",
                             "tab\tname",  "Upd\xc3\xa4ter.exe",
                             "del\x7f"}) {
        EXPECT_FALSE(isSafeEntryName(name)) << name;
    }
    EXPECT_FALSE(isSafeEntryName(std::string("a\0b", 3)));
    EXPECT_FALSE(isSafeEntryName(std::string(256, 'a')));
    EXPECT_TRUE(isSafeEntryName(std::string(255, 'a')));
}

TEST(ZipReader, UnpacksTheWholeTreeOfAnInfoZipArchive) {
    for (const char* archive : {"nested.zip", "stored.zip", "no_dir_entries.zip"}) {
        SCOPED_TRACE(archive);
        MemorySink sink;
        ASSERT_EQ(unpack(readFileBytes(zipFixture(archive)), sink), ZipStatus::Ok);
        ASSERT_EQ(sink.files.size(), 4u);
        EXPECT_EQ(sink.files["pkg/bin/Updater.exe"], zipFixtureSource("tree\\pkg\\bin\\Updater.exe"));
        EXPECT_EQ(sink.files["pkg/readme.txt"], zipFixtureSource("tree\\pkg\\readme.txt"));
        EXPECT_EQ(sink.files["pkg/empty.dat"], "");
        EXPECT_EQ(sink.files["top.txt"], "top level\n");
    }
    MemorySink sink;
    ASSERT_EQ(unpack(readFileBytes(zipFixture("nested.zip")), sink), ZipStatus::Ok);
    EXPECT_EQ(sink.directories, (std::set<std::string>{"pkg", "pkg/bin", "pkg/docs"}));
}

TEST(ZipReader, EmptyArchiveUnpacksToNothing) {
    MemorySink sink;
    EXPECT_EQ(unpack(readFileBytes(zipFixture("empty.zip")), sink), ZipStatus::Ok);
    EXPECT_TRUE(sink.empty());
}

TEST(ZipReader, HostileArchivesAreRefusedBeforeAnythingIsWritten) {
    const std::vector<std::pair<const char*, ZipStatus>> cases = {
        {"absolute", ZipStatus::UnsafeName},
        {"absolute_tmp", ZipStatus::UnsafeName},
        {"dotdot", ZipStatus::UnsafeName},
        {"dotdot_nested", ZipStatus::UnsafeName},
        {"dotdot_deep", ZipStatus::UnsafeName},
        {"backslash_dotdot", ZipStatus::UnsafeName},
        {"backslash_absolute", ZipStatus::UnsafeName},
        {"drive", ZipStatus::UnsafeName},
        {"drive_relative", ZipStatus::UnsafeName},
        {"unc", ZipStatus::UnsafeName},
        {"stream", ZipStatus::UnsafeName},
        {"device_con", ZipStatus::UnsafeName},
        {"device_nul_ext", ZipStatus::UnsafeName},
        {"device_com1", ZipStatus::UnsafeName},
        {"device_lpt1_ext", ZipStatus::UnsafeName},
        {"device_aux_case", ZipStatus::UnsafeName},
        {"device_prn_blank", ZipStatus::UnsafeName},
        {"trailing_dot", ZipStatus::UnsafeName},
        {"dotdot_blank", ZipStatus::UnsafeName},
        {"non_ascii", ZipStatus::UnsafeName},
        {"duplicate_case", ZipStatus::DuplicateName},
        {"file_then_folder", ZipStatus::DuplicateName},
        {"declared_huge", ZipStatus::TooLarge},
        {"declared_sum", ZipStatus::TooLarge},
        {"too_many_entries", ZipStatus::TooManyEntries},
        {"name_mismatch", ZipStatus::Corrupt},
        {"bzip2", ZipStatus::Unsupported},
        {"html_page", ZipStatus::NotAnArchive},
        {"truncated", ZipStatus::Truncated},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        MemorySink sink;
        EXPECT_EQ(unpack(readFileBytes(zipFixture(std::string("hostile\\") + name + ".zip")), sink),
                  expected);
        EXPECT_TRUE(sink.empty());
    }
    for (const auto& [name, expected] :
         {std::pair{"encrypted.zip", ZipStatus::Encrypted}, std::pair{"zip64.zip", ZipStatus::Unsupported}}) {
        SCOPED_TRACE(name);
        MemorySink sink;
        EXPECT_EQ(unpack(readFileBytes(zipFixture(name)), sink), expected);
        EXPECT_TRUE(sink.empty());
    }
}

TEST(ZipReader, DataThatDoesNotMatchItsHeaderStopsTheUnpacking) {
    MemorySink sink;
    EXPECT_EQ(unpack(readFileBytes(zipFixture("hostile\\bad_crc.zip")), sink), ZipStatus::ChecksumMismatch);

    // Never more bytes than declared reach the output, however far the data would inflate.
    MemorySink longer;
    EXPECT_EQ(unpack(readFileBytes(zipFixture("hostile\\longer_than_declared.zip")), longer),
              ZipStatus::Corrupt);
    EXPECT_LE(longer.files["Updater.exe"].size(), 100u);
}

TEST(ZipReader, LimitsCountEntriesAndDeclaredSizes) {
    const std::string archive = readFileBytes(zipFixture("nested.zip"));
    const std::uint64_t total = 358892 + 950 + 10; // the unpacked sizes of the tree's files
    MemorySink sink;
    EXPECT_EQ(unpack(archive, sink, ZipLimits{7, total}), ZipStatus::Ok);
    MemorySink fewer;
    EXPECT_EQ(unpack(archive, fewer, ZipLimits{6, total}), ZipStatus::TooManyEntries);
    EXPECT_TRUE(fewer.empty());
    MemorySink smaller;
    EXPECT_EQ(unpack(archive, smaller, ZipLimits{7, total - 1}), ZipStatus::TooLarge);
    EXPECT_TRUE(smaller.empty());

    // The per-file bound: the tree's largest file is exactly 358892 bytes.
    MemorySink largestFits;
    EXPECT_EQ(unpack(archive, largestFits, ZipLimits{7, total, 358892}), ZipStatus::Ok);
    MemorySink oneFileTooLarge;
    EXPECT_EQ(unpack(archive, oneFileTooLarge, ZipLimits{7, total, 358891}), ZipStatus::EntryTooLarge);
    EXPECT_TRUE(oneFileTooLarge.empty());
    const std::string bomb = readFileBytes(zipFixture("hostile\\zeros_bomb.zip"));
    ASSERT_LT(bomb.size(), 8192u);
    MemorySink bombSink;
    EXPECT_EQ(unpack(bomb, bombSink, ZipLimits{10, std::uint64_t{1} << 30, 4096}), ZipStatus::EntryTooLarge);
    EXPECT_TRUE(bombSink.empty());
    MemorySink bombAllowed;
    EXPECT_EQ(unpack(bomb, bombAllowed), ZipStatus::Ok);
    EXPECT_EQ(bombAllowed.files["Updater.exe"], std::string(1 << 20, '\0'));
}

TEST(ZipReader, EveryTruncationIsRefusedWithoutOutput) {
    const std::string archive = readFileBytes(zipFixture("small.zip"));
    ASSERT_GT(archive.size(), 100u);
    for (std::size_t length = 0; length < archive.size(); ++length) {
        MemorySink sink;
        const ZipStatus status = unpack(archive.substr(0, length), sink);
        EXPECT_NE(status, ZipStatus::Ok) << "length " << length;
        EXPECT_TRUE(sink.empty()) << "length " << length;
    }
    // The large archive's multi-chunk entries, cut at many places.
    const std::string large = readFileBytes(zipFixture("nested.zip"));
    for (std::size_t length = 0; length < large.size(); length += 997) {
        MemorySink sink;
        EXPECT_NE(unpack(large.substr(0, length), sink), ZipStatus::Ok) << "length " << length;
        EXPECT_TRUE(sink.empty()) << "length " << length;
    }
}

// Flipping bits anywhere may break the archive, but whatever unpacks must be exactly the packed content:
// the CRC-32 and size checks leave no way for changed data to come out as a success.
TEST(ZipReader, ChangedBytesNeverYieldChangedContent) {
    const std::string archive = readFileBytes(zipFixture("small.zip"));
    MemorySink original;
    ASSERT_EQ(unpack(archive, original), ZipStatus::Ok);
    ASSERT_EQ(original.files.size(), 2u);
    EXPECT_EQ(original.files["d/a.txt"], zipFixtureSource("small\\d\\a.txt"));
    EXPECT_EQ(original.files["b.bin"], zipFixtureSource("small\\b.bin"));

    int refused = 0;
    for (std::size_t pos = 0; pos < archive.size(); ++pos) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string changed = archive;
            changed[pos] = static_cast<char>(changed[pos] ^ (1 << bit));
            MemorySink sink;
            if (unpack(changed, sink) == ZipStatus::Ok) {
                EXPECT_EQ(sink.files, original.files) << "byte " << pos << " bit " << bit;
            } else {
                ++refused;
            }
        }
    }
    EXPECT_GT(refused, 0);

    // Several random changes at once, from a fixed seed so that a failure can be replayed.
    std::uint32_t state = 12345;
    auto random = [&state]() {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    for (int round = 0; round < 3000; ++round) {
        std::string changed = archive;
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < changes; ++i) {
            changed[random() % changed.size()] = static_cast<char>(random());
        }
        MemorySink sink;
        if (unpack(changed, sink) == ZipStatus::Ok) {
            EXPECT_EQ(sink.files, original.files) << "round " << round;
        }
    }
}

} // namespace
} // namespace vesk::updater
