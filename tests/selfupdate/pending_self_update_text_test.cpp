#include "selfupdate/pending_self_update.h"

#include <gtest/gtest.h>

using namespace vesk::updater;

TEST(PendingManifestLayout, FindsInstallDirectoryAndTheArrayBetweenItsBrackets) {
    const std::string content = "{\n  \"install_directory\": \"C:\\\\VESK\",\n"
                                "  \"files\": [ {\"a\": 1}, {\"b\": 2} ],\n  \"other\": [9]\n}";
    const PendingManifestLayout layout = readPendingManifestLayout(content);
    EXPECT_EQ(layout.problem, PendingManifestProblem::None);
    EXPECT_EQ(layout.installDirectory, "C:\\VESK");
    EXPECT_EQ(layout.filesArrayText, " {\"a\": 1}, {\"b\": 2} ");
}

TEST(PendingManifestLayout, ReportsTheFirstMissingPartInCheckOrder) {
    // Without an install directory nothing else is looked at, even when the array is fine.
    EXPECT_EQ(readPendingManifestLayout("{\"files\": []}").problem,
              PendingManifestProblem::NoInstallDirectory);
    EXPECT_EQ(readPendingManifestLayout("{\"install_directory\": \"\", \"files\": []}").problem,
              PendingManifestProblem::NoInstallDirectory);
    // The key must stand directly before its colon.
    EXPECT_EQ(readPendingManifestLayout("{\"install_directory\": \"C:\\\\V\", \"files\" : []}").problem,
              PendingManifestProblem::NoFilesKey);
    EXPECT_EQ(readPendingManifestLayout("{\"install_directory\": \"C:\\\\V\", \"files\": {}}").problem,
              PendingManifestProblem::InvalidFilesArray);
    EXPECT_EQ(readPendingManifestLayout("{\"install_directory\": \"C:\\\\V\", \"files\": [ {}").problem,
              PendingManifestProblem::InvalidFilesArray);
    // A "[" before the key does not count; the "]" must follow the "[" found after the key.
    const auto layout =
        readPendingManifestLayout("{\"x\": [1], \"install_directory\": \"D\", \"files\": [{}]}");
    EXPECT_EQ(layout.problem, PendingManifestProblem::None);
    EXPECT_EQ(layout.filesArrayText, "{}");
}

TEST(PendingManifestLayout, ABracketInsideAValueCutsTheArray) {
    const std::string content =
        "{\"install_directory\": \"C:\\\\V\", \"files\": ["
        "{\"source_path\": \"C:\\\\a]b\\\\x.dll\"}, {\"source_path\": \"C:\\\\y.dll\"}]}";
    const PendingManifestLayout layout = readPendingManifestLayout(content);
    ASSERT_EQ(layout.problem, PendingManifestProblem::None);
    EXPECT_EQ(layout.filesArrayText, "{\"source_path\": \"C:\\\\a");
    // The cut object has no closing brace, so no object is seen at all.
    EXPECT_TRUE(splitPendingFileObjects(layout.filesArrayText).empty());
}

TEST(PendingFileObjects, SplitsAtTheFirstClosingBraceAndSkipsSeparators) {
    EXPECT_TRUE(splitPendingFileObjects("").empty());
    EXPECT_TRUE(splitPendingFileObjects("  \n ").empty());

    const auto objects = splitPendingFileObjects(" {\"a\": 1} ,\n\t{\"b\": 2}{\"c\": 3}");
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0], "{\"a\": 1}");
    EXPECT_EQ(objects[1], "{\"b\": 2}");
    EXPECT_EQ(objects[2], "{\"c\": 3}");

    // An object written inside another ends the outer one at its own closing brace; the outer
    // object's rest ("}") then holds no "{" and is skipped.
    const auto nested = splitPendingFileObjects("{\"a\": 1, \"inner\": {\"b\": 2}, \"c\": 3}, {\"d\": 4}");
    ASSERT_EQ(nested.size(), 2u);
    EXPECT_EQ(nested[0], "{\"a\": 1, \"inner\": {\"b\": 2}");
    EXPECT_EQ(nested[1], "{\"d\": 4}");

    // An unclosed object ends the list.
    const auto unclosed = splitPendingFileObjects("{\"a\": 1}, {\"b\": 2");
    ASSERT_EQ(unclosed.size(), 1u);
    EXPECT_EQ(unclosed[0], "{\"a\": 1}");
}

TEST(PendingFileEntry, ReadsEveryValueAndTellsWhetherItIsComplete) {
    const PendingFileEntry entry =
        readPendingFileEntry("{\"source_path\": \"C:\\\\tmp\\\\n.dll\", \"target_name\": \"n.dll\", "
                             "\"target_path\": \"C:\\\\V\\\\n.dll\", "
                             "\"expected_sha256\": \"abc\", \"expected_size\": 512}");
    EXPECT_EQ(entry.sourcePath, "C:\\tmp\\n.dll");
    EXPECT_EQ(entry.targetName, "n.dll");
    EXPECT_EQ(entry.targetPath, "C:\\V\\n.dll");
    EXPECT_EQ(entry.expectedSha256, "abc");
    EXPECT_EQ(entry.expectedSize, "512");
    EXPECT_TRUE(entry.complete());

    // The size written as a string of digits reads the same as the number.
    EXPECT_EQ(readPendingFileEntry("{\"expected_size\": \"512\"}").expectedSize, "512");

    const PendingFileEntry partial = readPendingFileEntry("{\"source_path\": \"s\", \"target_name\": \"n\"}");
    EXPECT_FALSE(partial.complete());
    const auto lines = describeMissingFileInformation(partial);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Error: Missing file information in manifest object.");
    EXPECT_EQ(lines[1], "sourcePath empty: NO");
    EXPECT_EQ(lines[2], "targetName empty: NO");
    EXPECT_EQ(lines[3], "targetPath empty: YES");
}

TEST(PendingExpectedSize, AcceptsOnlyDecimalDigitsWithin32Bits) {
    EXPECT_EQ(parseExpectedSize("0"), 0u);
    EXPECT_EQ(parseExpectedSize("0042"), 42u);
    EXPECT_EQ(parseExpectedSize("4294967295"), 4294967295u);
    EXPECT_FALSE(parseExpectedSize("4294967296"));
    EXPECT_FALSE(parseExpectedSize("99999999999999999999999"));
    EXPECT_FALSE(parseExpectedSize(""));
    EXPECT_FALSE(parseExpectedSize("-1"));
    EXPECT_FALSE(parseExpectedSize("1.5"));
    EXPECT_FALSE(parseExpectedSize("12a"));
    EXPECT_FALSE(parseExpectedSize(" 12"));
}

TEST(PendingMessages, DebugBlockShowsTheRawObjectCutAt200Characters) {
    const PendingFileEntry entry{"s", "n", "t", "", ""};
    const std::string longObject = "{\"k\": \"" + std::string(300, 'x') + "\"}";
    const auto lines = describeParsedFileObject(longObject, entry);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "\n=== Debug: JSON Parsing ===");
    EXPECT_EQ(lines[1], "Raw JSON object: " + longObject.substr(0, 200) + "...");
    EXPECT_EQ(lines[2], "Parsed source_path: [s]");
    EXPECT_EQ(lines[3], "Parsed target_name: [n]");
    EXPECT_EQ(lines[4], "Parsed target_path: [t]");
    EXPECT_EQ(describeParsedFileObject("{}", entry)[1], "Raw JSON object: {}...");
}

TEST(PendingMessages, PathsAndPreviews) {
    EXPECT_EQ(pendingBackupPath("C:\\VESK", "zlib1.dll"), "C:\\VESK\\backup\\zlib1.dll.backup");
    EXPECT_EQ(parentDirectoryOf("C:\\VESK\\sub\\a.dll"), "C:\\VESK\\sub");
    EXPECT_EQ(parentDirectoryOf("C:/VESK/a.dll"), "C:/VESK");
    EXPECT_EQ(parentDirectoryOf("a.dll"), "");
    EXPECT_EQ(hashPreview("0123456789abcdef0123"), "0123456789abcdef...");
    EXPECT_EQ(hashPreview("abc"), "abc...");
    EXPECT_EQ(moveFailureCause(5), "  Cause: Access denied - file may be in use");
    EXPECT_EQ(moveFailureCause(32), "  Cause: Unknown error (32)");
    EXPECT_EQ(moveFailureCause(4294967295u), "  Cause: Unknown error (4294967295)");
}
