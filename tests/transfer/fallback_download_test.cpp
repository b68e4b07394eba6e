// The fallback download against the loopback server, through the real WinHTTP stack and the real
// temporary folder (pointed at a folder of the test, so that leftovers can be seen).

#include "core/handles_win.h"
#include "support/folder_entries.h"
#include "support/http_test_server.h"
#include "support/log_lines.h"
#include "transfer/fallback_download.h"
#include "transfer/resilient_download_win.h"
#include "transfer/zip_extract_win.h"
#include "zip_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vesk::updater {
namespace {

using test::HttpTestServer;
using test::ProcessLogTail;
using test::readFileBytes;
using test::ScriptedResponse;
using test::TempDir;
using test::zipFixture;
using test::zipFixtureSource;

using namespace std::chrono_literals;

const std::string kPath = "/updates/2.1.345/";

// An answer that makes the download itself fail after the server has seen the request: WinHTTP follows
// the redirect to a port where nothing listens any more.
ScriptedResponse failingResponse(const std::string& deadUrl) {
    ScriptedResponse response;
    response.status = 302;
    response.headers = {{"Location", deadUrl}};
    return response;
}

class FallbackDownload : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"TMP", "TEMP"}) {
            char value[32768];
            const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
            saved.push_back({name, std::string(value, length), length > 0});
            ::SetEnvironmentVariableA(name, temp.path().c_str());
        }
        {
            HttpTestServer gone;
            deadUrl = gone.url("/gone");
        }
    }

    void TearDown() override {
        for (const Saved& variable : saved) {
            ::SetEnvironmentVariableA(variable.name.c_str(),
                                      variable.present ? variable.value.c_str() : nullptr);
        }
    }

    // Serves a fixture archive at path.
    void serveArchive(const std::string& path, const std::string& fixture) {
        server.respond(path, 200, readFileBytes(zipFixture(fixture)));
    }

    bool fetch(const std::vector<std::string>& baseUrls, const std::string& location,
               const std::string& name) {
        return downloadWithFallback(baseUrls, location, name, localPath, attempted);
    }

    // What the temporary folder holds besides the result.
    std::set<std::string> leftovers() const {
        const std::vector<std::string> entries = test::folderEntries(temp.path());
        std::set<std::string> names(entries.begin(), entries.end());
        if (localPath.rfind(temp.path() + "\\", 0) == 0) {
            names.erase(localPath.substr(temp.path().size() + 1));
        }
        return names;
    }

    struct Saved {
        std::string name;
        std::string value;
        bool present;
    };
    std::vector<Saved> saved;
    TempDir temp;
    HttpTestServer server;
    std::string deadUrl;
    std::string localPath = "untouched";
    std::vector<std::string> attempted;
};

TEST_F(FallbackDownload, EveryServerIsAskedForTheArchiveThenThePlainFileInOrder) {
    // Two servers, told apart by their base paths on the one loopback server.
    const std::string d = server.url("/d");
    const std::string m = server.url("/m/");
    for (const std::string& base : {std::string("/d"), std::string("/m")}) {
        server.respond(base + kPath + "Updater.exe.zip", 404, "<html>not here</html>");
        server.respond(base + kPath + "Updater.exe", failingResponse(deadUrl));
    }
    attempted = {"from an earlier download"};

    EXPECT_FALSE(fetch({d, m}, "http://elsewhere.example.com" + kPath + "Updater.exe", "Updater.exe"));

    const std::vector<std::string> expected = {
        "from an earlier download", d + kPath + "Updater.exe.zip", d + kPath + "Updater.exe",
        server.url("/m") + kPath + "Updater.exe.zip", server.url("/m") + kPath + "Updater.exe"};
    EXPECT_EQ(attempted, expected);
    // The refused redirect is tried three times; once its server is given up, the next redirect into it
    // is not retried.
    EXPECT_EQ(server.requestedPaths(),
              (std::vector<std::string>{"/d" + kPath + "Updater.exe.zip", "/d" + kPath + "Updater.exe",
                                        "/d" + kPath + "Updater.exe", "/d" + kPath + "Updater.exe",
                                        "/m" + kPath + "Updater.exe.zip", "/m" + kPath + "Updater.exe"}));
    EXPECT_EQ(formatAttemptList({expected.begin() + 1, expected.end()}),
              "  - " + expected[1] + "\n  - " + expected[2] + "\n  - " + expected[3] + "\n  - " +
                  expected[4] + "\n");
    EXPECT_EQ(localPath, "untouched");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FallbackDownload, UnreachableServersAreAllListed) {
    const std::string d = deadUrl.substr(0, deadUrl.size() - 5);
    EXPECT_FALSE(fetch({d}, "files/libcurl.dll", "libcurl.dll"));
    EXPECT_EQ(attempted, (std::vector<std::string>{d + "/files/libcurl.dll.zip", d + "/files/libcurl.dll"}));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FallbackDownload, NoCandidatesMeansNoRequestAndNothingListed) {
    EXPECT_FALSE(fetch({}, kPath + "Updater.exe", "Updater.exe"));
    EXPECT_FALSE(fetch({server.baseUrl()}, server.url(kPath), "Updater.exe"));
    EXPECT_TRUE(attempted.empty());
    EXPECT_TRUE(server.requestedPaths().empty());
    EXPECT_EQ(localPath, "untouched");
}

TEST_F(FallbackDownload, FileInASubfolderOfTheArchiveIsTakenOut) {
    serveArchive(kPath + "Updater.exe.zip", "nested.zip");
    ASSERT_TRUE(fetch({server.baseUrl() + "/"}, kPath + "Updater.exe", "Updater.exe"));

    EXPECT_EQ(readFileBytes(localPath), zipFixtureSource("tree\\pkg\\bin\\Updater.exe"));
    EXPECT_EQ(attempted, std::vector<std::string>{server.url(kPath + "Updater.exe.zip")});
    EXPECT_EQ(server.requestedPaths(), std::vector<std::string>{kPath + "Updater.exe.zip"});
    // The result is a fresh temporary file; the download and the unpacked tree are gone.
    // (the system keeps three letters of the "vesk" prefix)
    EXPECT_EQ(localPath.rfind(temp.path() + "\\ves", 0), 0u) << localPath;
    EXPECT_EQ(localPath.substr(localPath.size() - 4), ".tmp");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FallbackDownload, ErrorPageInPlaceOfTheArchiveFallsThroughToThePlainFile) {
    const std::string plain = "MZ the plain updater";
    server.respond(kPath + "Updater.exe.zip", 404, "<html><body>404 Not Found</body></html>");
    server.respond(kPath + "Updater.exe", 200, plain);
    ASSERT_TRUE(fetch({server.baseUrl()}, kPath + "Updater.exe", "Updater.exe"));
    EXPECT_EQ(readFileBytes(localPath), plain);
    EXPECT_EQ(attempted.size(), 2u);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FallbackDownload, ArchiveWithOnlyAWrongCaseNameFallsThroughToThePlainFile) {
    serveArchive(kPath + "Updater.exe.zip", "lower_case.zip");
    server.respond(kPath + "Updater.exe", 200, "MZ plain");
    ASSERT_TRUE(fetch({server.baseUrl()}, kPath + "Updater.exe", "Updater.exe"));
    EXPECT_EQ(readFileBytes(localPath), "MZ plain");
    EXPECT_TRUE(leftovers().empty());
}

// An error page for the plain file is handed back: only the caller's size and digest checks can tell.
TEST_F(FallbackDownload, ErrorPageForThePlainFileIsTheResult) {
    server.respond(kPath + "Updater.exe", 404, "<html>missing</html>");
    server.respond(kPath + "Updater.exe.zip", 404, "<html>missing</html>");
    ASSERT_TRUE(fetch({server.baseUrl()}, kPath + "Updater.exe", "Updater.exe"));
    EXPECT_EQ(readFileBytes(localPath), "<html>missing</html>");
}

TEST_F(FallbackDownload, PlainUrlEndingInZipIsUnpackedToo) {
    server.respond("/files/bundle.zip.zip", 404, "<html>missing</html>");
    server.respond("/files/bundle.zip", 404, "<html>missing</html>");
    EXPECT_FALSE(fetch({server.baseUrl()}, "files/bundle.zip", "bundle.zip"));
    EXPECT_EQ(server.requestedPaths(),
              (std::vector<std::string>{"/files/bundle.zip.zip", "/files/bundle.zip"}));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FallbackDownload, HostileArchivesAreSkippedForTheNextServer) {
    const std::string escape = "vesk_zip_escape.txt";
    for (const char* fixture :
         {"hostile\\dotdot.zip", "hostile\\absolute.zip", "hostile\\drive.zip",
          "hostile\\backslash_dotdot.zip", "hostile\\device_con.zip", "hostile\\stream.zip", "encrypted.zip",
          "hostile\\declared_huge.zip", "hostile\\longer_than_declared.zip", "hostile\\bad_crc.zip",
          "hostile\\truncated.zip", "zip64.zip"}) {
        SCOPED_TRACE(fixture);
        server.clearRecord();
        attempted.clear();
        localPath = "untouched";
        serveArchive("/d" + kPath + "Updater.exe.zip", fixture);
        server.respond("/d" + kPath + "Updater.exe", failingResponse(deadUrl));
        serveArchive("/m" + kPath + "Updater.exe.zip", "flat.zip");

        ASSERT_TRUE(fetch({server.url("/d"), server.url("/m")}, kPath + "Updater.exe", "Updater.exe"));
        EXPECT_EQ(readFileBytes(localPath), zipFixtureSource("flat\\Updater.exe"));
        EXPECT_EQ(attempted.size(), 3u);
        EXPECT_TRUE(leftovers().empty());
        EXPECT_FALSE(test::fileExists(temp.path() + "\\..\\" + escape));
        EXPECT_FALSE(test::fileExists("C:\\" + escape));
        EXPECT_FALSE(test::fileExists("Z:\\" + escape));
        EXPECT_TRUE(::DeleteFileA(localPath.c_str()));
    }
}

TEST_F(FallbackDownload, FolderThatCannotBeRemovedIsReportedAndChangesNothingElse) {
    serveArchive(kPath + "Updater.exe.zip", "nested.zip");
    std::vector<std::string> reported;
    auto held = std::make_shared<FileHandle>();
    FallbackDownloadSteps steps;
    steps.unpack = [held](const std::string& archive, const std::string& directory) {
        const bool unpacked = extractArchive(archive, directory) == ZipStatus::Ok;
        // Something else keeps a file of the unpacked tree open, as a virus scanner might.
        held->reset(::CreateFileA((directory + "\\top.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
        return unpacked;
    };
    steps.reportLeftover = [&reported](const std::string& path) { reported.push_back(path); };

    ASSERT_TRUE(downloadWithFallback({server.baseUrl()}, kPath + "Updater.exe", "Updater.exe", localPath,
                                     attempted, steps));
    ASSERT_TRUE(held->valid());
    EXPECT_EQ(readFileBytes(localPath), zipFixtureSource("tree\\pkg\\bin\\Updater.exe"));
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(leftovers(), std::set<std::string>{reported[0].substr(temp.path().size() + 1)});
    held->reset();
}

// A found file that cannot be moved out must not come back as an empty "download".
TEST_F(FallbackDownload, FileThatCannotBeMovedOutMakesTheNextCandidateRun) {
    serveArchive(kPath + "Updater.exe.zip", "flat.zip");
    server.respond(kPath + "Updater.exe", 200, "MZ plain");
    std::vector<std::string> reported;
    auto held = std::make_shared<FileHandle>();
    FallbackDownloadSteps steps;
    steps.unpack = [held](const std::string& archive, const std::string& directory) {
        const bool unpacked = extractArchive(archive, directory) == ZipStatus::Ok;
        held->reset(::CreateFileA((directory + "\\Updater.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
        return unpacked;
    };
    steps.reportLeftover = [&reported](const std::string& path) { reported.push_back(path); };

    ASSERT_TRUE(downloadWithFallback({server.baseUrl()}, kPath + "Updater.exe", "Updater.exe", localPath,
                                     attempted, steps));
    ASSERT_TRUE(held->valid());
    EXPECT_EQ(readFileBytes(localPath), "MZ plain");
    EXPECT_EQ(attempted.size(), 2u);
    ASSERT_EQ(reported.size(), 1u); // the folder with the held file
    held->reset();
}

} // namespace
} // namespace vesk::updater

namespace vesk::updater {
namespace {

// One server misbehaves in some way; the download moves on and the second server's good archive wins.
TEST_F(FallbackDownload, RunawaySlowOrRefusedCandidatesGiveWayToTheNextServer) {
    // The second server has an origin of its own: a server that timed out is not asked again in the run.
    HttpTestServer mirror;
    const std::string mirrorArchive = readFileBytes(zipFixture("flat.zip"));
    const std::string good = zipFixtureSource("flat\\Updater.exe");
    const std::string archiveUrl = server.url("/d" + kPath + "Updater.exe.zip");
    const std::string plainUrl = server.url("/d" + kPath + "Updater.exe");
    ScriptedResponse endless;
    endless.endless = true;
    ScriptedResponse silent;
    silent.neverAnswer = true;
    ScriptedResponse trickle;
    trickle.body = std::string(4096, 'x');
    trickle.trickleInterval = 50ms;
    ScriptedResponse missing;
    missing.status = 404;
    missing.body = "<html>missing</html>";
    ScriptedResponse bombAnswer;
    ScriptedResponse wrongFile;
    wrongFile.body = "MZ not what was wanted";
    bombAnswer.body = readFileBytes(zipFixture("hostile\\zeros_bomb.zip"));
    const std::string sizeText = std::to_string(good.size());

    struct Case {
        const char* name;
        ScriptedResponse archive; // what the first server answers for the archive
        ScriptedResponse plain;   // and for the plain file
        bool strict;
        bool sizeKnown;
        bool rejectFirst; // acceptCandidate refuses whatever the first server gave
        std::vector<std::string> logged;
    };
    const std::vector<Case> cases = {
        {"endless plain file of known size",
         missing,
         endless,
         false,
         true,
         false,
         {"ERROR Download exceeded the expected size of " + sizeText + " bytes: " + plainUrl}},
        {"endless bodies of unknown size",
         endless,
         endless,
         false,
         false,
         false,
         {"ERROR Download exceeded the size limit of 2097152 bytes: " + archiveUrl,
          "ERROR Download exceeded the size limit of 2097152 bytes: " + plainUrl}},
        {"archive unpacking past the known size",
         bombAnswer,
         missing,
         true,
         true,
         false,
         {"ERROR Archive entry exceeded the expected size of " + sizeText + " bytes: " + archiveUrl,
          "ERROR Download failed: HTTP status 404 from " + plainUrl}},
        {"error pages in strict mode",
         missing,
         missing,
         true,
         true,
         false,
         {"ERROR Download failed: HTTP status 404 from " + archiveUrl,
          "ERROR Download failed: HTTP status 404 from " + plainUrl}},
        {"trickling server in strict mode",
         trickle,
         missing,
         true,
         false,
         false,
         {"ERROR Download too slow: fewer than 1024 bytes in 1 s from " + archiveUrl,
          "ERROR Download failed: HTTP status 404 from " + plainUrl}},
        {"server that never answers",
         silent,
         silent,
         false,
         true,
         false,
         {"ERROR Download timed out: " + archiveUrl,
          "WARNING Network: " + server.baseUrl() + " timed out; not asking it again in this run"}},
        {"candidate the caller refuses", missing, wrongFile, false, true, true, {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        server.clearRecord();
        attempted.clear();
        localPath = "untouched";
        server.respond("/d" + kPath + "Updater.exe.zip", test.archive);
        server.respond("/d" + kPath + "Updater.exe", test.plain);
        mirror.respond("/m" + kPath + "Updater.exe.zip", 200, mirrorArchive);

        FallbackDownloadSteps steps;
        NetworkRun run;
        steps.policy.run = &run;
        steps.policy.strict = test.strict;
        steps.policy.receiveTimeout = 1500ms;
        steps.policy.lowSpeedWindow = 1s;
        steps.sizeCeiling = 2 << 20;
        if (test.sizeKnown) {
            steps.expectedSize = good.size();
        }
        std::vector<std::string> offered;
        steps.acceptCandidate = [&](const std::string& path) {
            offered.push_back(readFileBytes(path));
            return !test.rejectFirst || offered.size() > 1;
        };
        ProcessLogTail log;
        ASSERT_TRUE(downloadWithFallback({server.url("/d"), mirror.url("/m")}, kPath + "Updater.exe",
                                         "Updater.exe", localPath, attempted, steps));
        EXPECT_EQ(readFileBytes(localPath), good);
        EXPECT_EQ(attempted, (std::vector<std::string>{archiveUrl, plainUrl,
                                                       mirror.url("/m" + kPath + "Updater.exe.zip")}));
        EXPECT_EQ(log.entries(), test.logged);
        const std::vector<std::string> wantOffered =
            test.rejectFirst ? std::vector<std::string>{"MZ not what was wanted", good}
                             : std::vector<std::string>{good};
        EXPECT_EQ(offered, wantOffered);
        EXPECT_TRUE(leftovers().empty());
        // Every runaway body stopped within a few MiB of its bound.
        ASSERT_TRUE(server.waitForFinishedResponses(20s));
        for (const test::RecordedRequest& request : server.requests()) {
            EXPECT_LT(request.bodyBytesSent, 8u << 20) << request.path;
        }
        EXPECT_TRUE(::DeleteFileA(localPath.c_str()));
    }
}

} // namespace
} // namespace vesk::updater
