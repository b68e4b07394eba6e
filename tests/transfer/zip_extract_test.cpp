#include "core/handles_win.h"
#include "transfer/file_tree_win.h"
#include "transfer/zip_extract_win.h"
#include "zip_test_support.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace vesk::updater {
namespace {

using test::fileExists;
using test::readFileBytes;
using test::TempDir;
using test::writeFileBytes;
using test::zipFixture;

// Every file and folder below root, relative, folders with a trailing backslash.
std::set<std::string> listTree(const std::string& root, const std::string& prefix = "") {
    std::set<std::string> result;
    WIN32_FIND_DATAA entry;
    FindHandle find(::FindFirstFileA((root + "\\" + prefix + "*").c_str(), &entry));
    if (!find) {
        return result;
    }
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            result.insert(prefix + name + "\\");
            for (const std::string& inner : listTree(root, prefix + name + "\\")) {
                result.insert(inner);
            }
        } else {
            result.insert(prefix + name);
        }
    } while (::FindNextFileA(find.get(), &entry));
    return result;
}

std::string tempFolder() {
    char buffer[MAX_PATH] = {};
    return std::string(buffer, ::GetTempPathA(MAX_PATH, buffer));
}

TEST(ZipExtract, UnpacksTheTreeWhateverTheArchiveIsCalled) {
    TempDir temp;
    // Downloads keep their temporary name, so the archive is recognised by its content.
    const std::string archive = temp.file("vesk1A2B.tmp");
    ASSERT_TRUE(writeFileBytes(archive, readFileBytes(zipFixture("nested.zip"))));
    const std::string out = temp.file("out");
    ASSERT_TRUE(::CreateDirectoryA(out.c_str(), nullptr));

    ASSERT_EQ(extractArchive(archive, out), ZipStatus::Ok);
    EXPECT_EQ(listTree(out),
              (std::set<std::string>{"pkg\\", "pkg\\bin\\", "pkg\\bin\\Updater.exe", "pkg\\docs\\",
                                     "pkg\\empty.dat", "pkg\\readme.txt", "top.txt"}));
    EXPECT_EQ(readFileBytes(out + "\\pkg\\bin\\Updater.exe"),
              readFileBytes(zipFixture("src\\tree\\pkg\\bin\\Updater.exe")));
    EXPECT_EQ(readFileBytes(out + "\\pkg\\readme.txt"),
              readFileBytes(zipFixture("src\\tree\\pkg\\readme.txt")));
}

TEST(ZipExtract, ParentFoldersAreMadeForArchivesWithoutFolderEntries) {
    TempDir temp;
    ASSERT_EQ(extractArchive(zipFixture("no_dir_entries.zip"), temp.path()), ZipStatus::Ok);
    EXPECT_EQ(readFileBytes(temp.file("pkg\\bin\\Updater.exe")),
              readFileBytes(zipFixture("src\\tree\\pkg\\bin\\Updater.exe")));
}

TEST(ZipExtract, HostileArchivesLeaveNothingBehindAnywhere) {
    const char* const archives[] = {
        "hostile\\absolute.zip",
        "hostile\\absolute_tmp.zip",
        "hostile\\dotdot.zip",
        "hostile\\dotdot_nested.zip",
        "hostile\\dotdot_deep.zip",
        "hostile\\backslash_dotdot.zip",
        "hostile\\backslash_absolute.zip",
        "hostile\\drive.zip",
        "hostile\\drive_relative.zip",
        "hostile\\unc.zip",
        "hostile\\stream.zip",
        "hostile\\device_con.zip",
        "hostile\\device_nul_ext.zip",
        "hostile\\device_com1.zip",
        "hostile\\device_lpt1_ext.zip",
        "hostile\\device_aux_case.zip",
        "hostile\\device_prn_blank.zip",
        "hostile\\trailing_dot.zip",
        "hostile\\dotdot_blank.zip",
        "hostile\\non_ascii.zip",
        "hostile\\duplicate_case.zip",
        "hostile\\file_then_folder.zip",
        "hostile\\declared_huge.zip",
        "hostile\\declared_sum.zip",
        "hostile\\too_many_entries.zip",
        "hostile\\name_mismatch.zip",
        "hostile\\bzip2.zip",
        "hostile\\html_page.zip",
        "hostile\\truncated.zip",
        "hostile\\bad_crc.zip",
        "hostile\\longer_than_declared.zip",
        "encrypted.zip",
        "zip64.zip",
    };
    const std::string escapeName = "vesk_zip_escape.txt";
    for (const char* name : archives) {
        SCOPED_TRACE(name);
        TempDir sandbox;
        const std::string archive = sandbox.file("download.tmp");
        ASSERT_TRUE(writeFileBytes(archive, readFileBytes(zipFixture(name))));
        ASSERT_TRUE(::CreateDirectoryA(sandbox.file("a").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryA(sandbox.file("a\\b").c_str(), nullptr));
        const std::string out = sandbox.file("a\\b\\x");
        ASSERT_TRUE(::CreateDirectoryA(out.c_str(), nullptr));

        EXPECT_NE(extractArchive(archive, out), ZipStatus::Ok);
        // Not even the entries that were harmless or were written before the fault was found remain.
        EXPECT_EQ(listTree(sandbox.path()),
                  (std::set<std::string>{"a\\", "a\\b\\", "a\\b\\x\\", "download.tmp"}));
        EXPECT_FALSE(fileExists("C:\\" + escapeName));
        EXPECT_FALSE(fileExists("Z:\\" + escapeName));
        EXPECT_FALSE(fileExists("Z:\\tmp\\" + escapeName));
        EXPECT_FALSE(fileExists(tempFolder() + escapeName));
    }
}

TEST(ZipExtract, MissingArchiveCannotBeRead) {
    TempDir temp;
    EXPECT_EQ(extractArchive(temp.file("absent.tmp"), temp.path()), ZipStatus::ReadFailed);
}

TEST(FileTree, FindsTheFileInASubfolderByExactName) {
    TempDir temp;
    ASSERT_EQ(extractArchive(zipFixture("nested.zip"), temp.path()), ZipStatus::Ok);
    EXPECT_EQ(findFileInTree(temp.path(), "Updater.exe"), temp.file("pkg\\bin\\Updater.exe"));
    EXPECT_EQ(findFileInTree(temp.path(), "top.txt"), temp.file("top.txt"));
    EXPECT_EQ(findFileInTree(temp.path(), "updater.exe"), "");
    EXPECT_EQ(findFileInTree(temp.path(), "UPDATER.EXE"), "");
    // Folders never count, even with the wanted name.
    EXPECT_EQ(findFileInTree(temp.path(), "bin"), "");
    EXPECT_EQ(findFileInTree(temp.file("absent"), "Updater.exe"), "");
}

TEST(FileTree, RemovesNestedAndReadOnlyContent) {
    TempDir temp;
    const std::string root = temp.file("tree");
    ASSERT_EQ(::CreateDirectoryA(root.c_str(), nullptr), TRUE);
    ASSERT_EQ(extractArchive(zipFixture("nested.zip"), root), ZipStatus::Ok);
    ASSERT_TRUE(::SetFileAttributesA((root + "\\pkg\\readme.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(removeDirectoryTree(root));
    EXPECT_FALSE(fileExists(root));
    EXPECT_TRUE(removeDirectoryTree(root)); // nothing there is nothing left
}

TEST(FileTree, ReportsAFileThatCannotBeRemoved) {
    TempDir temp;
    const std::string root = temp.file("tree");
    ASSERT_EQ(::CreateDirectoryA(root.c_str(), nullptr), TRUE);
    ASSERT_EQ(extractArchive(zipFixture("nested.zip"), root), ZipStatus::Ok);
    {
        FileHandle held(::CreateFileA((root + "\\top.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_FALSE(removeDirectoryTree(root));
        // Everything else went.
        EXPECT_EQ(listTree(root), std::set<std::string>{"top.txt"});
    }
    EXPECT_TRUE(removeDirectoryTree(root));
}

} // namespace
} // namespace vesk::updater
