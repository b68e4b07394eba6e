#include "transfer/fallback_download.h"
#include "transfer/url_candidates.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vesk::updater {
namespace {

const std::string D = "https://updates.example.net";
const std::string M = "http://mirror.example.org/vesk";

// All candidates of one reset, as "zip <url>" / "plain <url>".
std::vector<std::string> candidatesFor(const std::vector<std::string>& baseUrls, const std::string& location,
                                       const std::string& nameOverride, bool preferZip = true) {
    UrlCandidates candidates(baseUrls, preferZip);
    candidates.reset(location, nameOverride);
    std::vector<std::string> result;
    std::string url;
    bool isArchive = false;
    while (candidates.next(url, isArchive)) {
        result.push_back((isArchive ? "zip " : "plain ") + url);
        if (result.size() > 100) {
            break; // a sequence that never ends is a failure, not a hang
        }
    }
    return result;
}

TEST(UrlHelpers, JoinPutsExactlyOneSlashBetweenNonEmptyParts) {
    EXPECT_EQ(joinUrlParts("", "b/c"), "b/c");
    EXPECT_EQ(joinUrlParts("a", ""), "a");
    EXPECT_EQ(joinUrlParts("a/", "/b"), "a/b");
    EXPECT_EQ(joinUrlParts("a/", "b"), "a/b");
    EXPECT_EQ(joinUrlParts("a", "/b"), "a/b");
    EXPECT_EQ(joinUrlParts("a", "b"), "a/b");
    // Only one slash is taken away: a doubled one inside a part is left alone.
    EXPECT_EQ(joinUrlParts("a//", "//b"), "a///b");
}

TEST(UrlHelpers, SplitAndTrimAtSlashes) {
    EXPECT_EQ(dirName("/updates/2.1/Updater.exe"), "/updates/2.1/");
    EXPECT_EQ(baseName("/updates/2.1/Updater.exe"), "Updater.exe");
    EXPECT_EQ(dirName("Updater.exe"), "");
    EXPECT_EQ(baseName("Updater.exe"), "Updater.exe");
    EXPECT_EQ(baseName("dir/"), "");
    EXPECT_EQ(trimSlashes("//a/b//"), "a/b");
    EXPECT_EQ(trimSlashes("///"), "");
    EXPECT_EQ(trimSlashes(""), "");
    EXPECT_TRUE(isAbsoluteUrl("http://h/x"));
    EXPECT_TRUE(isAbsoluteUrl("https://h/x"));
    EXPECT_FALSE(isAbsoluteUrl("HTTPS://h/x"));
    EXPECT_FALSE(isAbsoluteUrl("ftp://h/x"));
    EXPECT_FALSE(isAbsoluteUrl("http:/h"));
}

TEST(UrlCandidates, EachServerGetsArchiveThenPlainInListOrder) {
    const std::vector<std::string> expected = {
        "zip " + D + "/updates/2.1.345/Updater.exe.zip", "plain " + D + "/updates/2.1.345/Updater.exe",
        "zip " + M + "/updates/2.1.345/Updater.exe.zip", "plain " + M + "/updates/2.1.345/Updater.exe"};
    EXPECT_EQ(candidatesFor({D, M}, "/updates/2.1.345/Updater.exe", "Updater.exe"), expected);
    // An absolute location gives the same candidates, whatever host it names.
    EXPECT_EQ(
        candidatesFor({D, M}, "https://elsewhere.example.com/updates/2.1.345/Updater.exe", "Updater.exe"),
        expected);
}

TEST(UrlCandidates, PlainFirstWhenArchivesAreNotPreferred) {
    EXPECT_EQ(candidatesFor({D}, "/x/a.dll", "", false),
              (std::vector<std::string>{"plain " + D + "/x/a.dll", "zip " + D + "/x/a.dll.zip"}));
}

TEST(UrlCandidates, RelativeLocationsKeepTheirFolder) {
    EXPECT_EQ(candidatesFor({D}, "files/libcurl.dll", "libcurl.dll"),
              (std::vector<std::string>{"zip " + D + "/files/libcurl.dll.zip",
                                        "plain " + D + "/files/libcurl.dll"}));
    // The wanted name replaces the location's own file name.
    EXPECT_EQ(
        candidatesFor({D}, "bin/x.dat", "Updater.exe"),
        (std::vector<std::string>{"zip " + D + "/bin/Updater.exe.zip", "plain " + D + "/bin/Updater.exe"}));
    EXPECT_EQ(candidatesFor({D}, "libsodium.dll", ""),
              (std::vector<std::string>{"zip " + D + "/libsodium.dll.zip", "plain " + D + "/libsodium.dll"}));
    // A relative folder without a file name still works with a wanted name.
    EXPECT_EQ(candidatesFor({D}, "bin/", "zlib1.dll"),
              (std::vector<std::string>{"zip " + D + "/bin/zlib1.dll.zip", "plain " + D + "/bin/zlib1.dll"}));
}

TEST(UrlCandidates, AbsoluteLocationIgnoresTheWantedName) {
    EXPECT_EQ(
        candidatesFor({D}, "http://other.example.com/a/b/libcurl.dll", "Updater.exe"),
        (std::vector<std::string>{"zip " + D + "/a/b/libcurl.dll.zip", "plain " + D + "/a/b/libcurl.dll"}));
}

TEST(UrlCandidates, SlashesAtTheJoinsAreNotDoubled) {
    EXPECT_EQ(
        candidatesFor({"https://d.example/", "https://m.example/base/"}, "/updates/1.2/Updater.exe", ""),
        (std::vector<std::string>{"zip https://d.example/updates/1.2/Updater.exe.zip",
                                  "plain https://d.example/updates/1.2/Updater.exe",
                                  "zip https://m.example/base/updates/1.2/Updater.exe.zip",
                                  "plain https://m.example/base/updates/1.2/Updater.exe"}));
    EXPECT_EQ(candidatesFor({"https://d.example/"}, "//updates/x.dll", ""),
              (std::vector<std::string>{"zip https://d.example/updates/x.dll.zip",
                                        "plain https://d.example/updates/x.dll"}));
}

TEST(UrlCandidates, NoCandidatesWithoutServersOrFileName) {
    EXPECT_TRUE(candidatesFor({}, "/updates/1/Updater.exe", "Updater.exe").empty());
    EXPECT_TRUE(candidatesFor({D, M}, "https://h.example/updates/1/", "Updater.exe").empty());
    EXPECT_TRUE(candidatesFor({D}, "https://h.example", "Updater.exe").empty());
    EXPECT_TRUE(candidatesFor({D}, "", "").empty());
    EXPECT_TRUE(candidatesFor({D}, "dir/", "").empty());
}

TEST(UrlCandidates, ResetStartsOverWithTheNewLocation) {
    UrlCandidates candidates({D, M}, true);
    candidates.reset("/a/one.dll", "");
    std::string url;
    bool isArchive = false;
    ASSERT_TRUE(candidates.next(url, isArchive));
    ASSERT_TRUE(candidates.next(url, isArchive));
    ASSERT_TRUE(candidates.next(url, isArchive));
    candidates.reset("/b/two.dll", "");
    ASSERT_TRUE(candidates.next(url, isArchive));
    EXPECT_EQ(url, D + "/b/two.dll.zip");
    EXPECT_TRUE(isArchive);
}

TEST(AttemptList, OneIndentedLinePerUrl) {
    EXPECT_EQ(formatAttemptList({}), "");
    EXPECT_EQ(formatAttemptList({"http://a/x.zip", "http://a/x"}), "  - http://a/x.zip\n  - http://a/x\n");
}

} // namespace
} // namespace vesk::updater
