// Downloads through the real WinHTTP stack against the in-process loopback server.

#include "transfer/http_download.h"
#include "transfer/resilient_download_win.h"

#include "core/handles_win.h"
#include "core/privilege.h"
#include "support/folder_entries.h"
#include "support/http_test_server.h"
#include "support/log_lines.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <vector>

using vesk::test::fileExists;
using vesk::test::folderEntries;
using vesk::test::HttpTestServer;
using vesk::test::ProcessLogTail;
using vesk::test::readFileBytes;
using vesk::test::ScriptedResponse;
using vesk::test::TempDir;
using vesk::test::writeFileBytes;
using vesk::updater::downloadToFile;
using vesk::updater::downloadToString;
using vesk::updater::SizeLimit;
using vesk::updater::TransferPolicy;
using namespace std::chrono_literals;

namespace {

// Bytes of every value, NULs and line ends included, so any text-mode translation would show.
std::string binaryBody(std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        body[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    }
    return body;
}

// Points the process's temporary folder (TMP and TEMP) at a folder of the test for its lifetime.
class ScopedTempFolder {
public:
    explicit ScopedTempFolder(const std::string& folder) {
        for (const char* name : {"TMP", "TEMP"}) {
            char value[32768];
            const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
            saved_.emplace_back(name, length > 0 ? std::optional<std::string>(std::string(value, length))
                                                 : std::nullopt);
            ::SetEnvironmentVariableA(name, folder.c_str());
        }
    }
    ~ScopedTempFolder() {
        for (const auto& [name, value] : saved_) {
            ::SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
        }
    }
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A URL on 127.0.0.1 where nothing listens: the port of a server that has been stopped.
std::string closedPortUrl() {
    HttpTestServer server;
    const std::string url = server.url("/file.bin");
    server.stop();
    return url;
}

// The digest of this test executable as the build computed it with an independent tool.
std::string buildTimeDigestOfThisExecutable() {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return readFileBytes(std::string(path, length) + ".sha256");
}

// Short enough that a test waiting on one stays quick, long enough for a loaded machine's loopback.
TransferPolicy quickPolicy(bool strict) {
    TransferPolicy policy;
    policy.connectTimeout = 2s;
    policy.sendTimeout = 2s;
    policy.receiveTimeout = 1500ms;
    policy.strict = strict;
    policy.lowSpeedWindow = 1s;
    policy.retry.maxAttempts = 1; // each answer judged on its own
    return policy;
}

ScriptedResponse answer(int status, std::string body,
                        std::vector<std::pair<std::string, std::string>> headers = {}) {
    ScriptedResponse response;
    response.status = status;
    response.body = std::move(body);
    response.headers = std::move(headers);
    return response;
}

ScriptedResponse endlessBody() {
    ScriptedResponse response;
    response.endless = true;
    return response;
}

class HttpDownload : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(server.unexpectedRequests().empty()); }

    HttpTestServer server;
    TempDir dir;
};

} // namespace

TEST_F(HttpDownload, ErrorStatusBodiesAreSavedAndCountAsSuccess) {
    const std::string html = "<html><head><title>404 Not Found</title></head><body>missing</body></html>";
    server.respond("/updates/1.0.7/Updater.exe", 404, html);
    server.respond("/broken", 500, "internal error page");

    const std::string target = dir.file("Updater.exe");
    EXPECT_TRUE(downloadToFile(server.wideUrl("/updates/1.0.7/Updater.exe"), target));
    EXPECT_EQ(readFileBytes(target), html);

    EXPECT_TRUE(downloadToFile(server.wideUrl("/broken"), dir.file("broken")));
    EXPECT_EQ(readFileBytes(dir.file("broken")), "internal error page");

    // The 500 says "not now": it is asked twice more, and its last answer stands as before.
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/updates/1.0.7/Updater.exe");
}

TEST_F(HttpDownload, EmptyBodyGivesAnEmptyFileAndAnEmptyString) {
    server.respond("/empty", 200, "");
    const std::string target = dir.file("empty.bin");
    ASSERT_TRUE(downloadToFile(server.wideUrl("/empty"), target));
    EXPECT_TRUE(fileExists(target));
    EXPECT_EQ(readFileBytes(target), "");
    EXPECT_EQ(downloadToString(server.url("/empty")), "");
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(HttpDownload, BodiesAroundTheBufferSizeArriveByteForByte) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{8191}, std::size_t{8192}, std::size_t{8193},
                                   std::size_t{16384}, std::size_t{300000}}) {
        SCOPED_TRACE(size);
        const std::string body = binaryBody(size);
        const std::string path = "/body-" + std::to_string(size);
        server.respond(path, 200, body);
        const std::string target = dir.file("body-" + std::to_string(size) + ".bin");
        ASSERT_TRUE(downloadToFile(server.wideUrl(path), target));
        EXPECT_EQ(readFileBytes(target), body);
        EXPECT_EQ(downloadToString(server.url(path)), body);
    }
}

TEST_F(HttpDownload, ExistingTargetIsReplacedNotAppendedTo) {
    const std::string target = dir.file("manifest.json");
    ASSERT_TRUE(writeFileBytes(target, std::string(20000, 'o')));
    server.respond("/manifest.json", 200, "{\"version\":\"2.1\"}");
    ASSERT_TRUE(downloadToFile(server.wideUrl("/manifest.json"), target));
    EXPECT_EQ(readFileBytes(target), "{\"version\":\"2.1\"}");
}

TEST_F(HttpDownload, ConnectionCutMidBodyKeepsWhatArrivedAndStillSucceeds) {
    const std::string body = binaryBody(50000);
    ScriptedResponse response;
    response.body = body;
    response.cutAfterBytes = 20000;
    server.respond("/cut.zip", response);
    const std::string target = dir.file("cut.zip");
    EXPECT_TRUE(downloadToFile(server.wideUrl("/cut.zip"), target));
    EXPECT_EQ(readFileBytes(target), body.substr(0, 20000));
}

TEST_F(HttpDownload, FailureBeforeAResponseLeavesAnExistingFileUntouched) {
    const std::string target = dir.file("keep.bin");
    ASSERT_TRUE(writeFileBytes(target, "previous content"));
    EXPECT_FALSE(downloadToFile(vesk::updater::widenUrl(closedPortUrl()), target));
    EXPECT_EQ(readFileBytes(target), "previous content");

    EXPECT_FALSE(downloadToFile(L"not a url", target));
    EXPECT_FALSE(downloadToFile(L"", target));
    EXPECT_EQ(readFileBytes(target), "previous content");
}

TEST_F(HttpDownload, TargetThatCannotBeCreatedFails) {
    server.respond("/x", 200, "data");
    EXPECT_FALSE(downloadToFile(server.wideUrl("/x"), dir.file("no-such-folder\\x")));
}

TEST_F(HttpDownload, HttpsIsSpokenAsTlsOnTheUrlsPort) {
    // The loopback server speaks plain HTTP, so a TLS client's first bytes arrive as a handshake record
    // (content type 0x16) instead of a request line and the download fails before any file is written.
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/manifest.json";
    const std::string target = dir.file("tls.json");
    ASSERT_TRUE(writeFileBytes(target, "old"));
    EXPECT_FALSE(downloadToFile(vesk::updater::widenUrl(url), target));
    EXPECT_EQ(readFileBytes(target), "old");
    EXPECT_TRUE(server.requests().empty());
    const auto malformed = server.malformedConnections();
    ASSERT_FALSE(malformed.empty());
    EXPECT_EQ(malformed.front().front(), '\x16');
}

TEST_F(HttpDownload, OverlongHostOrPathFailsWithoutAnyRequest) {
    const std::string target = dir.file("never.bin");
    const std::string host256(256, 'h');
    EXPECT_FALSE(downloadToFile(vesk::updater::widenUrl("http://" + host256 + "/file"), target));

    const std::string path1024 = "/" + std::string(1023, 'p');
    EXPECT_FALSE(downloadToFile(server.wideUrl(path1024), target));
    EXPECT_EQ(downloadToString(server.url(path1024)), "");

    EXPECT_FALSE(fileExists(target));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(server.malformedConnections().empty());

    // One character less is still requested, and the server sees that very path: the limit refuses only
    // what is over it and never shortens a path to fit.
    const std::string path1023 = "/" + std::string(1022, 'p');
    server.respond(path1023, 200, "longest path");
    EXPECT_TRUE(downloadToFile(server.wideUrl(path1023), target));
    EXPECT_EQ(readFileBytes(target), "longest path");
    EXPECT_EQ(server.requestedPaths(), std::vector<std::string>{path1023});
}

TEST(DownloadUrl, LimitsAndDefaultPorts) {
    using vesk::updater::parseDownloadUrl;
    const auto host255 = parseDownloadUrl(L"http://" + std::wstring(255, L'h') + L"/f");
    ASSERT_TRUE(host255);
    EXPECT_EQ(host255->host.size(), 255u);
    EXPECT_FALSE(parseDownloadUrl(L"http://" + std::wstring(256, L'h') + L"/f"));

    const auto path1023 = parseDownloadUrl(L"http://h/" + std::wstring(1022, L'p'));
    ASSERT_TRUE(path1023);
    EXPECT_EQ(path1023->path.size(), 1023u);
    EXPECT_FALSE(parseDownloadUrl(L"http://h/" + std::wstring(1023, L'p')));

    const auto secure = parseDownloadUrl(L"https://updates.example.net/manifest.json");
    ASSERT_TRUE(secure);
    EXPECT_TRUE(secure->secure);
    EXPECT_EQ(secure->host, L"updates.example.net");
    EXPECT_EQ(secure->port, 443);
    EXPECT_EQ(secure->path, L"/manifest.json");

    const auto plain = parseDownloadUrl(L"http://updates.example.net/updates/2.1.345/Updater.exe");
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->secure);
    EXPECT_EQ(plain->port, 80);
    EXPECT_EQ(plain->path, L"/updates/2.1.345/Updater.exe");

    const auto explicitPort = parseDownloadUrl(L"https://127.0.0.1:8443/a");
    ASSERT_TRUE(explicitPort);
    EXPECT_TRUE(explicitPort->secure);
    EXPECT_EQ(explicitPort->port, 8443);

    EXPECT_FALSE(parseDownloadUrl(L"ftp://example.net/file"));
    EXPECT_FALSE(parseDownloadUrl(L"updates.example.net/file"));
}

TEST_F(HttpDownload, UserAgentCarriesTheRunningExecutablesDigest) {
    const std::string digest = buildTimeDigestOfThisExecutable();
    ASSERT_EQ(digest.size(), 64u) << "missing build-time digest beside the test executable";
    server.respond("/manifest.json", 200, "{}");
    ASSERT_TRUE(downloadToFile(server.wideUrl("/manifest.json"), dir.file("m.json")));
    ASSERT_EQ(downloadToString(server.url("/manifest.json")), "{}");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.userAgent, "Downloader/1.0 (hash:" + digest + ")");
    }
}

TEST_F(HttpDownload, UserAgentWithoutAKnownDigestIsThePlainName) {
    server.respond("/manifest-beta.json", 200, "{}");
    ASSERT_TRUE(downloadToFile(server.wideUrl("/manifest-beta.json"), dir.file("m.json"), ""));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].userAgent, "Downloader/1.0");
    EXPECT_EQ(vesk::updater::downloadUserAgent("ab12"), "Downloader/1.0 (hash:ab12)");
}

TEST_F(HttpDownload, DownloadToStringUsesATemporaryFileAndAlwaysRemovesIt) {
    TempDir temp;
    ScopedTempFolder redirect(temp.path());

    // While the server holds its answer back, the temporary file exists in the temporary folder.
    ScriptedResponse slow;
    slow.body = "{\"slow\":true}";
    slow.delay = 1500ms;
    server.respond("/manifest.json", slow);
    auto pending =
        std::async(std::launch::async, [&] { return downloadToString(server.url("/manifest.json")); });
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    const std::vector<std::string> during = folderEntries(temp.path());
    EXPECT_EQ(pending.get(), "{\"slow\":true}");
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].substr(0, 3), "ves");
    EXPECT_TRUE(folderEntries(temp.path()).empty());

    // Failures and empty bodies leave nothing behind either.
    server.respond("/empty", 200, "");
    EXPECT_EQ(downloadToString(server.url("/empty")), "");
    EXPECT_EQ(downloadToString(closedPortUrl()), "");
    EXPECT_EQ(downloadToString("http://" + std::string(300, 'h') + "/x"), "");
    EXPECT_TRUE(folderEntries(temp.path()).empty());
}

TEST_F(HttpDownload, DownloadToStringReturnsErrorPagesAndBinaryBytes) {
    server.respond("/missing.json", 404, "<html>not here</html>");
    EXPECT_EQ(downloadToString(server.url("/missing.json")), "<html>not here</html>");
    const std::string body = binaryBody(70000);
    server.respond("/bin", 200, body);
    EXPECT_EQ(downloadToString(server.url("/bin")), body);
}

// Runaway, silent, failing, slow and broken answers. A failure leaves no partial file (one that fails before
// the body keeps the old file) and logs one line; the size limit and the time-out hold in both modes.
TEST_F(HttpDownload, HostileAnswersFailTheDownload) {
    auto with = [](ScriptedResponse response, auto change) {
        change(response);
        return response;
    };
    const ScriptedResponse endless = with(ScriptedResponse{}, [](auto& r) { r.endless = true; });
    const auto body = [&](std::size_t size) {
        return with(ScriptedResponse{}, [&](auto& r) { r.body = binaryBody(size); });
    };
    struct Case {
        const char* path;
        ScriptedResponse response;
        SizeLimit limit;
        bool strict;
        std::string logged; // the ERROR line up to the URL; "" when the download succeeds
        bool keepsOldFile = false;
    };
    const std::vector<Case> cases = {
        {"/endless.exe", endless, SizeLimit::expected(100000), false,
         "Download exceeded the expected size of 100000 bytes: "},
        {"/endless.bin", endless, SizeLimit::ceiling(300000), true,
         "Download exceeded the size limit of 300000 bytes: "},
        {"/promises.exe", body(200001), SizeLimit::expected(200000), false,
         "Download exceeded the expected size of 200000 bytes: ", true},
        {"/exact.exe", body(200000), SizeLimit::expected(200000), true, ""},
        // The bytes are counted, not the promise trusted: WinHTTP under Wine hands on what runs past it.
        {"/past-promise.exe", with(body(300000), [](auto& r) { r.declaredLength = 1000; }),
         SizeLimit::expected(1000), false, "Download exceeded the expected size of 1000 bytes: "},
        {"/silent", with(ScriptedResponse{}, [](auto& r) { r.neverAnswer = true; }), SizeLimit::ceiling(),
         false, "Download timed out: ", true},
        {"/missing", answer(404, "<html>missing</html>"), SizeLimit::ceiling(), true,
         "Download failed: HTTP status 404 from ", true},
        // Redirected to a path without a script: the final status counts.
        {"/moved", answer(301, "moved", {{"Location", "/ok"}}), SizeLimit::ceiling(), true,
         "Download failed: HTTP status 404 from ", true},
        {"/empty", answer(204, ""), SizeLimit::ceiling(), true, ""},
        {"/slow", with(body(4096), [](auto& r) { r.trickleInterval = 50ms; }), SizeLimit::ceiling(), true,
         "Download too slow: fewer than 1024 bytes in 1 s from "},
        {"/stalled", with(body(4), [](auto& r) { r.trickleInterval = 5s; }), SizeLimit::ceiling(), true,
         "Download timed out: "},
        {"/cut", with(body(50000), [](auto& r) { r.cutAfterBytes = 20000; }), SizeLimit::ceiling(), true,
         "Download interrupted: "},
    };
    const std::string target = dir.file("target.bin");
    for (const Case& test : cases) {
        SCOPED_TRACE(test.path);
        server.respond(test.path, test.response);
        ASSERT_TRUE(writeFileBytes(target, "previous"));
        ProcessLogTail log;
        const auto start = std::chrono::steady_clock::now();
        vesk::updater::NetworkRun run; // a server that timed out in one case is asked again in the next
        TransferPolicy policy = quickPolicy(test.strict);
        policy.run = &run;
        const bool ok = downloadToFile(server.wideUrl(test.path), target, test.limit, policy);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        EXPECT_EQ(ok, test.logged.empty());
        if (ok) {
            EXPECT_EQ(readFileBytes(target), test.response.body);
            EXPECT_EQ(log.entries(), std::vector<std::string>{});
            continue;
        }
        std::vector<std::string> expected = {"ERROR " + test.logged + server.url(test.path)};
        if (test.logged == std::string("Download timed out: ")) {
            expected.push_back("WARNING Network: " + server.baseUrl() + " timed out; not asking it again in this run");
        }
        EXPECT_EQ(log.entries(), expected);
        if (test.keepsOldFile) {
            EXPECT_EQ(readFileBytes(target), "previous");
        } else {
            EXPECT_FALSE(fileExists(target));
        }
    }
    // Runaway bodies stopped within a few MiB of their limits.
    server.stop();
    for (const auto& request : server.requests()) {
        EXPECT_LT(request.bodyBytesSent, 8u << 20) << request.path;
    }
    EXPECT_EQ(server.unexpectedRequests().size(), 1u); // the redirect's target
    server.clearRecord();
}

TEST_F(HttpDownload, DownloadToStringWithoutATemporaryFileLogsTheCauseAndAsksNothing) {
    TempDir temp;
    ScopedTempFolder redirect(temp.file("missing"));
    server.respond("/manifest.json", 200, "{}");
    ProcessLogTail log;
    EXPECT_EQ(downloadToString(server.url("/manifest.json")), "");
    EXPECT_EQ(log.entries(), std::vector<std::string>{
                                 "ERROR Could not create a temporary file in " + temp.file("missing\\") +
                                 ": " + vesk::updater::getWindowsErrorMessage(3) + " (error 3)"});
    EXPECT_TRUE(server.requestedPaths().empty());
}

TEST_F(HttpDownload, DownloadToStringStopsAtItsCeiling) {
    TempDir temp;
    ScopedTempFolder redirect(temp.path());
    server.respond("/endless.json", endlessBody());
    ProcessLogTail log;
    EXPECT_EQ(downloadToString(server.url("/endless.json"), SizeLimit::ceiling(1 << 20), quickPolicy(false)),
              "");
    EXPECT_EQ(log.entries(),
              std::vector<std::string>{"ERROR Download exceeded the size limit of 1048576 bytes: " +
                                       server.url("/endless.json")});
    // The manifest's own ceiling, with the program's policy.
    EXPECT_EQ(downloadToString(server.url("/endless.json")), "");
    EXPECT_EQ(log.entries().back(),
              "ERROR Download exceeded the size limit of 67108864 bytes: " + server.url("/endless.json"));
    EXPECT_TRUE(folderEntries(temp.path()).empty());

    const std::string body = binaryBody(1 << 20);
    server.respond("/full.json", 200, body);
    EXPECT_EQ(downloadToString(server.url("/full.json"), SizeLimit::ceiling(1 << 20), quickPolicy(true)),
              body);
    EXPECT_EQ(
        downloadToString(server.url("/full.json"), SizeLimit::ceiling((1 << 20) - 1), quickPolicy(false)),
        "");
    EXPECT_TRUE(folderEntries(temp.path()).empty());
}

TEST(LowSpeedRule, EachWindowMustBringTheMinimum) {
    struct Case {
        std::vector<std::pair<int, std::uint64_t>> reads; // milliseconds since the start, bytes
        int failsAt;                                      // index of the refused read, -1 for none
    };
    const std::vector<Case> cases = {
        {{{500, 1024}, {1000, 0}, {1999, 0}}, -1},              // enough by the window's end
        {{{999, 1023}, {1000, 0}}, 1},                          // one byte short
        {{{2500, 2000}}, -1},                                   // one read that blocked past the window
        {{{400, 1024}, {1000, 0}, {1999, 1023}, {2000, 0}}, 3}, // the second window starves
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(c);
        const std::chrono::steady_clock::time_point start{};
        vesk::updater::LowSpeedMonitor monitor(1024, 1s, start);
        int failed = -1;
        for (std::size_t i = 0; i < cases[c].reads.size() && failed < 0; ++i) {
            const auto& [at, bytes] = cases[c].reads[i];
            if (!monitor.progress(bytes, start + std::chrono::milliseconds(at))) {
                failed = static_cast<int>(i);
            }
        }
        EXPECT_EQ(failed, cases[c].failsAt);
    }
}
