#include "selfupdate/restart_command_line.h"
#include "selfupdate/self_update_text.h"

#include <gtest/gtest.h>

using namespace vesk::updater;

TEST(RestartCommandLine, ChannelAndProcessIdTravelUnquotedAfterTheQuotedPath) {
    EXPECT_EQ(buildRestartStartCommandLine("C:\\Program Files\\VESK\\update\\VESK_Updater.exe", "beta", 4242),
              "\"C:\\Program Files\\VESK\\update\\VESK_Updater.exe\" --restart-start -c beta -pid 4242");
    EXPECT_EQ(buildRestartDoneCommandLine("C:\\Program Files\\VESK\\VESK_Updater.exe", "beta"),
              "\"C:\\Program Files\\VESK\\VESK_Updater.exe\" --restart-done -c beta");
}

TEST(RestartCommandLine, DefaultChannelCarriesNoChannelOption) {
    EXPECT_EQ(buildRestartStartCommandLine("Z:\\i\\update\\VESK_Updater.exe", "", 7),
              "\"Z:\\i\\update\\VESK_Updater.exe\" --restart-start -pid 7");
    EXPECT_EQ(buildRestartDoneCommandLine("Z:\\i\\VESK_Updater.exe", ""),
              "\"Z:\\i\\VESK_Updater.exe\" --restart-done");
}

TEST(RestartCommandLine, ProcessIdIsPrintedUnsigned) {
    EXPECT_EQ(buildRestartStartCommandLine("a", "", 4294967295u), "\"a\" --restart-start -pid 4294967295");
}

TEST(SizeText, ReadsLeadingDigitsAfterBlanksAndOneSign) {
    EXPECT_EQ(parseSizeText("12345"), 12345u);
    EXPECT_EQ(parseSizeText("  \t42"), 42u);
    EXPECT_EQ(parseSizeText("+42"), 42u);
    EXPECT_EQ(parseSizeText("42 bytes"), 42u);
    EXPECT_EQ(parseSizeText("0"), 0u);
    EXPECT_EQ(parseSizeText("007"), 7u);
    EXPECT_EQ(parseSizeText("18446744073709551615"), 18446744073709551615ull);
}

TEST(SizeText, NegativeValueWrapsAndNeverMatchesARealSize) {
    EXPECT_EQ(parseSizeText("-1"), 18446744073709551615ull);
    EXPECT_EQ(parseSizeText("-0"), 0u);
}

TEST(SizeText, NoDigitsOrOverflowIsAnError) {
    EXPECT_FALSE(parseSizeText(""));
    EXPECT_FALSE(parseSizeText("   "));
    EXPECT_FALSE(parseSizeText("abc"));
    EXPECT_FALSE(parseSizeText("+-1"));
    EXPECT_FALSE(parseSizeText("- 1"));
    EXPECT_FALSE(parseSizeText("x12"));
    EXPECT_FALSE(parseSizeText("18446744073709551616"));
    EXPECT_FALSE(parseSizeText("99999999999999999999999"));
}

TEST(Digests, CompareWholeStringsIgnoringCase) {
    const std::string lower = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    std::string upper = lower;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(digestsEqual(upper, lower));
    EXPECT_TRUE(digestsEqual(lower, lower));
    EXPECT_FALSE(digestsEqual(lower.substr(0, 63), lower));
    EXPECT_FALSE(digestsEqual(lower, lower + "0"));
    EXPECT_FALSE(digestsEqual(lower, ""));
    std::string changed = lower;
    changed[63] = '9';
    EXPECT_FALSE(digestsEqual(changed, lower));
    EXPECT_EQ(digestPreview(lower), "9f86d081884c7d65");
    EXPECT_EQ(digestPreview("abc"), "abc");
}

TEST(PreflightTexts, ReasonAndRejectionWording) {
    EXPECT_EQ(installedSizeMismatchReason("1024", 1000), "size mismatch (expected 1024, actual 1000)");
    EXPECT_EQ(downloadedSizeMismatchText("1024", 18446744073709551615ull),
              "size mismatch (expected 1024, downloaded 18446744073709551615)");
    EXPECT_EQ(
        downloadedHashMismatchText("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "0123456789abcdef0123456789abcdef"),
        "hash mismatch (expected AAAAAAAAAAAAAAAA..., actual 0123456789abcdef...)");
    // A download whose digest could not be computed still yields a readable text.
    EXPECT_EQ(downloadedHashMismatchText("abc", ""), "hash mismatch (expected abc..., actual ...)");
}

TEST(PreflightTexts, SummaryCountsInOrder) {
    PreflightCounters counters;
    counters.checked = 4;
    counters.needingUpdate = 2;
    counters.updated = 1;
    const std::vector<std::string> expected = {"=== Preflight Update Summary ===", "Files checked: 4",
                                               "Files needing update: 2", "Files successfully updated: 1",
                                               "Preflight update completed"};
    EXPECT_EQ(preflightSummaryLines(counters), expected);
}

TEST(CoreFilePathsTest, SubfolderTargetKeepsPlainNameForTemporaryAndBackup) {
    const CoreFilePaths paths = coreFilePaths("Z:\\inst", "libcurl.dll", "bin\\libcurl.dll");
    EXPECT_EQ(paths.installed, "Z:\\inst\\bin\\libcurl.dll");
    EXPECT_EQ(paths.temporaryDownload, "Z:\\inst\\libcurl.dll.tmp_preflight");
    EXPECT_EQ(paths.backup, "Z:\\inst\\backup\\libcurl.dll.backup");
    EXPECT_EQ(coreFilePaths("Z:\\inst", "zlib1.dll", "").installed, "Z:\\inst\\zlib1.dll");
}

TEST(CoreFilePathsTest, TargetMustStayInsideTheInstallFolder) {
    EXPECT_TRUE(isContainedTargetPath("Updater.exe"));
    EXPECT_TRUE(isContainedTargetPath("bin\\libcurl.dll"));
    EXPECT_TRUE(isContainedTargetPath("bin/x64/libcurl.dll"));
    EXPECT_TRUE(isContainedTargetPath(".hidden\\a.dll"));
    for (const char* escaping : {"", "..\\Updater.exe", "bin\\..\\..\\x.dll", "../x.dll", "\\Windows\\x.dll",
                                 "/etc/x", "C:\\Windows\\x.dll", "C:x.dll", "a.dll:stream", "bin\\\\x.dll",
                                 "bin\\", ".\\x.dll", "...\\x.dll", ".. \\x.dll", "x.dll.", "x.dll "}) {
        EXPECT_FALSE(isContainedTargetPath(escaping)) << escaping;
    }
}

TEST(SelfReplacementPathsTest, AllDerivedFromTheInstallFolder) {
    const SelfReplacementPaths paths = selfReplacementPaths("Z:\\i");
    EXPECT_EQ(paths.updateFolder, "Z:\\i\\update");
    EXPECT_EQ(paths.updateLogFolder, "Z:\\i\\update\\logs");
    EXPECT_EQ(paths.copy, "Z:\\i\\update\\VESK_Updater.exe");
    EXPECT_EQ(paths.temporaryDownload, "Z:\\i\\VESK_Updater.exe.tmp");
    EXPECT_EQ(paths.installed, "Z:\\i\\VESK_Updater.exe");
}

TEST(SelfReplacementPathsTest, DefaultDownloadUrlNeedsVersionAndBuild) {
    EXPECT_EQ(defaultOwnExecutableUrl("https://d.example", "2.1", "345"),
              "https://d.example/updates/2.1.345/VESK_Updater.exe");
    EXPECT_EQ(defaultOwnExecutableUrl("https://d.example", "", "345"), "");
    EXPECT_EQ(defaultOwnExecutableUrl("https://d.example", "2.1", ""), "");
}
