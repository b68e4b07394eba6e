#include "integrity/file_hash.h"

#include "core/handles_win.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using vesk::test::TempDir;
using vesk::test::writeFileBytes;
using vesk::updater::computeFileSha256;

namespace {

// The repeating pattern the boundary digests below were made from (byte i is i mod 251).
std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

std::string hashOfContent(const TempDir& dir, const std::string& name, const std::string& content) {
    const std::string path = dir.file(name);
    if (!writeFileBytes(path, content)) {
        return "<could not write " + path + ">";
    }
    return computeFileSha256(path);
}

} // namespace

TEST(FileSha256, PublishedVectors) {
    TempDir dir;
    // FIPS 180-2 examples: empty input, one block, two blocks, and a million bytes across many reads.
    EXPECT_EQ(hashOfContent(dir, "empty", ""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hashOfContent(dir, "abc", "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hashOfContent(dir, "two", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hashOfContent(dir, "million", std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(FileSha256, SizesAroundTheReadBuffer) {
    TempDir dir;
    // Digests computed with Python's hashlib over the same pattern.
    EXPECT_EQ(hashOfContent(dir, "8191", patternBytes(8191)),
              "a7ff4cc384f150c0763c051418a0084ded32bfa5863717ab5f35d3f43a5ffe1c");
    EXPECT_EQ(hashOfContent(dir, "8192", patternBytes(8192)),
              "25df2449b2e5a35fea14e02a7158e283801a1069c9f84631b9a9dacb2f809a7f");
    EXPECT_EQ(hashOfContent(dir, "8193", patternBytes(8193)),
              "7e3691790cd64b19d4edb1a80e988214515abeb53aa0f34ffbfe4b4bf405d120");
    EXPECT_EQ(hashOfContent(dir, "16384", patternBytes(16384)),
              "4348e3b98e8a327b34ced39c1da9e67cdb4cd5e48e4d7960607a3ae403d35f0c");
}

TEST(FileSha256, WhatCannotBeReadGivesEmptyText) {
    TempDir dir;
    EXPECT_EQ(computeFileSha256(dir.file("missing.bin")), "");
    EXPECT_EQ(computeFileSha256(dir.path()), "");
    EXPECT_EQ(computeFileSha256(""), "");
}

TEST(FileSha256, FileLockedAgainstReadingGivesEmptyTextUntilReleased) {
    TempDir dir;
    const std::string path = dir.file("locked.dll");
    ASSERT_TRUE(writeFileBytes(path, "abc"));
    {
        vesk::updater::FileHandle holder(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_EQ(computeFileSha256(path), "");
    }
    EXPECT_EQ(computeFileSha256(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(FileSha256, FileOpenElsewhereForSharedReadingStillHashes) {
    TempDir dir;
    const std::string path = dir.file("Updater.exe");
    ASSERT_TRUE(writeFileBytes(path, "abc"));
    vesk::updater::FileHandle reader(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_EQ(computeFileSha256(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
