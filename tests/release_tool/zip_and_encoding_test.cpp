// The archives must be real ZIP files (an independent unzip accepts them) whose content the updater gets
// back byte for byte; the Base64 and SHA-256 helpers are checked against published vectors.

#include "native_support.h"

#include "encoding.h"
#include "file_util.h"
#include "zip_archive.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace vesk::release;
using namespace vesk::release::test;

namespace {

fs::path writeArchive(const fs::path& folder, const std::string& name, const std::string& content,
                      bool deflate) {
    const fs::path zipPath = folder / (name + ".zip");
    SingleEntryZipWriter zip;
    std::string error;
    EXPECT_TRUE(zip.open(zipPath, name, deflate, 6, dosDateTime(1767596889), error)) << error;
    // Fed in uneven pieces, as a stream would arrive.
    for (size_t at = 0; at < content.size(); at += 7000) {
        const std::string piece = content.substr(at, 7000);
        EXPECT_TRUE(zip.write(piece.data(), piece.size(), error)) << error;
    }
    EXPECT_TRUE(zip.finish(error)) << error;
    return zipPath;
}

} // namespace

TEST(Zip, ArchivesAreValidForAnIndependentReaderAndRoundTrip) {
    ScratchDir dir;
    const std::pair<std::string, std::string> contents[] = {
        {"empty.bin", ""},
        {"one.bin", "x"},
        {"boundary.bin", noiseBytes(8192, 4)},
        {"boundary1.bin", noiseBytes(8193, 5)},
        {"text.txt", std::string(3 << 20, 'a') + "tail"},
    };
    for (const bool deflate : {false, true}) {
        for (const auto& [name, content] : contents) {
            const fs::path zipPath = writeArchive(dir.path(), name, content, deflate);
            const std::string command = "unzip -tqq '" + zipPath.string() + "' >/dev/null 2>&1";
            EXPECT_EQ(std::system(command.c_str()), 0) << name << (deflate ? " deflated" : " stored");

            // And the updater's own reader, with its checks and limits, gets the bytes back.
            FileZipSource source(zipPath);
            std::vector<vesk::updater::ZipEntry> entries;
            ASSERT_EQ(vesk::updater::readZipDirectory(source, {}, entries), vesk::updater::ZipStatus::Ok);
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].name, name);
            EXPECT_EQ(entries[0].method, deflate ? 8 : 0);
            std::vector<std::pair<std::string, Digest>> files;
            ASSERT_EQ(digestArchive(zipPath, files), vesk::updater::ZipStatus::Ok);
            ASSERT_EQ(files.size(), 1u);
            EXPECT_EQ(files[0].first, name);
            EXPECT_EQ(files[0].second.size, content.size());
            EXPECT_EQ(files[0].second.sha256, sha256Hex(content));
        }
    }
    // Deflating a long run of one letter must actually compress.
    EXPECT_LT(fs::file_size(dir / "text.txt.zip"), 100000u);
}

TEST(Zip, DamagedArchivesAreRejected) {
    ScratchDir dir;
    const std::string content = noiseBytes(20000, 6);
    for (const bool deflate : {false, true}) {
        const fs::path zipPath = writeArchive(dir.path(), deflate ? "d.bin" : "s.bin", content, deflate);
        std::string bytes = readBytes(zipPath);
        bytes[1000] ^= 0x20;
        writeBytes(zipPath, bytes);
        std::vector<std::pair<std::string, Digest>> files;
        const vesk::updater::ZipStatus status = digestArchive(zipPath, files);
        EXPECT_TRUE(status == vesk::updater::ZipStatus::ChecksumMismatch ||
                    status == vesk::updater::ZipStatus::Corrupt)
            << vesk::updater::zipStatusText(status);
        EXPECT_TRUE(files.empty());
    }
    writeBytes(dir / "not.zip", "PK but not really an archive");
    std::vector<std::pair<std::string, Digest>> files;
    EXPECT_EQ(digestArchive(dir / "not.zip", files), vesk::updater::ZipStatus::NotAnArchive);
    EXPECT_EQ(digestArchive(dir / "absent.zip", files), vesk::updater::ZipStatus::ReadFailed);
}

TEST(Zip, IncompressibleSamplesAreStored) {
    const std::string noise = noiseBytes(1 << 16, 7);
    const std::string text(1 << 16, 'z');
    EXPECT_FALSE(deflateWorthwhile(noise.data(), noise.size(), 6));
    EXPECT_TRUE(deflateWorthwhile(text.data(), text.size(), 6));
    EXPECT_FALSE(deflateWorthwhile(text.data(), text.size(), 0));
    EXPECT_FALSE(deflateWorthwhile(text.data(), 0, 6));
}

TEST(Zip, DosTimesAreEncodedAndClamped) {
    // 2026-01-05 07:08:09 UTC
    const std::uint32_t stamp = dosDateTime(1767596889);
    EXPECT_EQ(stamp >> 16, static_cast<std::uint32_t>(((2026 - 1980) << 9) | (1 << 5) | 5));
    EXPECT_EQ(stamp & 0xFFFF, static_cast<std::uint32_t>((7 << 11) | (8 << 5) | 4));
    EXPECT_EQ(dosDateTime(0), static_cast<std::uint32_t>((1 << 5) | 1));
}

TEST(Encoding, Base64FollowsTheStandardVectors) {
    const std::pair<const char*, const char*> vectors[] = {{"f", "Zg=="},         {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},       {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(encodeBase64(plain), encoded);
        std::string decoded;
        EXPECT_TRUE(decodeBase64(encoded, decoded));
        EXPECT_EQ(decoded, plain);
    }
    std::string decoded;
    EXPECT_TRUE(decodeBase64("Zm9v\r\nYmFy", decoded));
    EXPECT_EQ(decoded, "foobar");
    EXPECT_FALSE(decodeBase64("Zm9v$", decoded));
    EXPECT_TRUE(decoded.empty());
    EXPECT_FALSE(decodeBase64("Zg==Zg==", decoded)); // data after the padding
    EXPECT_FALSE(decodeBase64("Z", decoded));
    EXPECT_FALSE(decodeBase64("", decoded));
    const std::string binary("\x00\xff\x10\x80", 4);
    EXPECT_TRUE(decodeBase64(encodeBase64(binary), decoded));
    EXPECT_EQ(decoded, binary);
}

TEST(Encoding, Sha256MatchesPublishedDigests) {
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ScratchDir dir;
    writeBytes(dir / "million-a", std::string(1000000, 'a'));
    Digest digest;
    std::string error;
    ASSERT_TRUE(digestFile(dir / "million-a", digest, error));
    EXPECT_EQ(digest.size, 1000000u);
    EXPECT_EQ(digest.sha256, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_FALSE(digestFile(dir / "missing", digest, error));
    EXPECT_NE(error.find("missing"), std::string::npos);
}

TEST(Encoding, AtomicWritesReplaceOrKeep) {
    ScratchDir dir;
    std::string error;
    ASSERT_TRUE(writeFileAtomically(dir / "f", "one", error));
    ASSERT_TRUE(writeFileAtomically(dir / "f", "two", error));
    EXPECT_EQ(readBytes(dir / "f"), "two");
    EXPECT_FALSE(writeFileAtomically(dir / "f", "three", error, ExistingFile::Keep));
    EXPECT_NE(error.find("already exists"), std::string::npos);
    EXPECT_EQ(readBytes(dir / "f"), "two");
    // Neither path leaves temporary files behind.
    size_t count = 0;
    for ([[maybe_unused]] const auto& item : fs::directory_iterator(dir.path())) {
        ++count;
    }
    EXPECT_EQ(count, 1u);
    EXPECT_FALSE(writeFileAtomically(dir / "no-such-folder" / "f", "x", error));
}
