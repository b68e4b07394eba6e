// Downloads through real WinHTTP after the first attempt failed.
#include "support/http_test_server.h"
#include "support/log_lines.h"
#include "support/proxy_settings.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"
#include "transfer/fallback_download.h"
#include "transfer/http_download.h"
#include "transfer/resilient_download_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace vesk::updater {
namespace {

using namespace std::chrono_literals;
using test::HttpTestServer;
using test::ProcessLogTail;
using test::ScriptedResponse;
using Clock = std::chrono::steady_clock;

std::string bytesOf(std::size_t size) {
    std::mt19937 random(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    return bytes;
}

// A port where nothing listens.
std::uint16_t deadPort() {
    HttpTestServer gone;
    return gone.port();
}

class NetworkPaths : public ::testing::Test {
protected:
    // The downloaded bytes (their SHA-256 when long), nothing on failure.
    std::optional<std::string> fetch(const std::string& url, std::optional<std::uint64_t> expected = {}) {
        const std::string target = dir.file("download.bin");
        const SizeLimit limit = expected ? SizeLimit::expected(*expected) : SizeLimit::ceiling();
        if (!downloadToFile(widenUrl(url), target, limit, policy)) {
            return std::nullopt;
        }
        return shown(test::readFileBytes(target));
    }

    static std::string shown(const std::string& bytes) {
        return bytes.size() <= 200 ? bytes : test::sha256Hex(bytes);
    }

    void SetUp() override {
        policy.run = &run;
        policy.receiveTimeout = 2s;
        policy.retry.firstBackoff = 50ms;
    }

    test::TempDir dir;
    NetworkRun run{1};
    TransferPolicy policy;
    HttpTestServer origin;
    HttpTestServer proxy;
};

// The origin is reachable only through the proxy (the address asked for directly refuses).
TEST_F(NetworkPaths, UserProxyAndScriptAreUsedWhenTheDirectWayIsClosed) {
    const std::string body = bytesOf(100000);
    origin.respond("/file", 200, body);
    test::ProxyMode mode;
    mode.forwardTo = "127.0.0.1:" + std::to_string(origin.port());
    proxy.enableProxy(mode);
    const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.port());
    const std::string unreachable = "http://127.0.0.1:" + std::to_string(deadPort()) + "/file";
    origin.respond("/proxy.pac",
                   200, "function FindProxyForURL(url, host) { return \"PROXY " + proxyAddress + "\"; }");
    const std::pair<test::UserProxyConfig, std::string> cases[] = {
        {{proxyAddress, "", "", false}, "the proxy of the user's Internet settings"},
        {{"", "", origin.url("/proxy.pac"), false},
         "the automatic-configuration script of the user's Internet settings"},
    };
    for (const auto& [config, way] : cases) {
        SCOPED_TRACE(way);
        NetworkRun fresh(2);
        policy.run = &fresh;
        proxy.clearRecord();
        test::ScopedUserProxy user(config);
        ProcessLogTail log;
        EXPECT_EQ(fetch(unreachable), shown(body));
        ASSERT_EQ(proxy.requests().size(), 1u);
        EXPECT_TRUE(proxy.requests()[0].proxied);
        EXPECT_EQ(proxy.requests()[0].path, unreachable);
        const auto lines = log.entries();
        EXPECT_TRUE(test::containsMessage(lines, "INFO Network: trying " + way + " (proxy " + proxyAddress + ")"));
        EXPECT_EQ(test::countStartingWith(lines, "INFO Network: using "), 1u);
        // Remembered: the next download of the run goes through the proxy at once, without a new line.
        ProcessLogTail second;
        EXPECT_EQ(fetch(unreachable), shown(body));
        EXPECT_EQ(proxy.requests().size(), 2u);
        EXPECT_EQ(second.entries(), std::vector<std::string>{});
    }
}

TEST_F(NetworkPaths, MachineProxyThatLeadsNowhereGivesWayToTheDirectConnection) {
    origin.respond("/file", 200, "direct bytes");
    test::ScopedMachineProxy machine("127.0.0.1:" + std::to_string(deadPort()));
    ProcessLogTail log;
    EXPECT_EQ(fetch(origin.url("/file")), "direct bytes");
    EXPECT_TRUE(test::containsMessage(log.entries(), "INFO Network: trying a direct connection"));
    EXPECT_EQ(origin.requests().size(), 1u);
}

// Wine's WinHTTP has no NTLM or Negotiate of its own to offer (no winbind helper here), so the proxy's second
// 407 stands; what this shows is that the challenge is answered once, with no prompt, and the download goes
// on by the next way. The choice of the scheme is checked in the rules' table.
TEST_F(NetworkPaths, ProxyAskingForTheLoggedOnUserIsAnsweredOnceThenTheNextWayIsTried) {
    origin.respond("/file", 200, "through");
    test::ProxyMode mode;
    mode.requireCredentials = true;
    mode.forwardTo = "127.0.0.1:" + std::to_string(origin.port());
    proxy.enableProxy(mode);
    test::ScopedUserProxy user({"127.0.0.1:" + std::to_string(proxy.port()), "", "", false});
    const std::string unreachable = "http://127.0.0.1:" + std::to_string(deadPort()) + "/file";
    const std::optional<std::string> got = fetch(unreachable);
    const auto requests = proxy.requests();
    ASSERT_LE(requests.size(), 2u); // the challenge, and at most one answer to it
    EXPECT_EQ(got, requests.back().header("Proxy-Authorization") ? std::optional<std::string>("through") : std::nullopt);
}

TEST_F(NetworkPaths, BusyServerIsAskedAgainAfterTheWaitItNames) {
    ScriptedResponse busy{503, "busy"};
    busy.headers = {{"Retry-After", "2"}};
    ScriptedResponse good;
    good.body = bytesOf(5000);
    for (const bool strict : {false, true}) {
        SCOPED_TRACE(strict);
        origin.respondInTurn("/file", {busy, good});
        origin.clearRecord();
        policy.strict = strict;
        ProcessLogTail log;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(fetch(origin.url("/file"), good.body.size()), shown(good.body));
        const auto waited = Clock::now() - start;
        EXPECT_TRUE(waited >= 2s && waited < 6s);
        EXPECT_EQ(origin.requests().size(), 2u);
        EXPECT_TRUE(test::containsMessage(log.entries(), "INFO Retrying " + origin.url("/file") +
                                                             " in 2000 ms (attempt 2 of 3): HTTP status 503"));
    }
}

TEST_F(NetworkPaths, ServerThatNeverAnswersIsAskedOncePerRun) {
    ScriptedResponse silent;
    silent.neverAnswer = true;
    HttpTestServer mirror;
    for (const char* name : {"Updater.exe", "libcurl.dll"}) {
        const std::string path = std::string("/updates/1.0.7/") + name;
        origin.respond(path + ".zip", silent);
        origin.respond(path, silent);
        mirror.respond(path + ".zip", 404, "none");
        mirror.respond(path, 200, std::string("mirror ") + name);
    }
    ProcessLogTail log;
    for (const char* name : {"Updater.exe", "libcurl.dll"}) {
        FallbackDownloadSteps steps;
        steps.policy = policy;
        std::string localPath;
        std::vector<std::string> attempted;
        ASSERT_TRUE(downloadWithFallback({origin.baseUrl(), mirror.baseUrl()},
                                         std::string("/updates/1.0.7/") + name, name, localPath, attempted, steps));
        EXPECT_EQ(test::readFileBytes(localPath), std::string("mirror ") + name);
        ::DeleteFileA(localPath.c_str());
    }
    EXPECT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(test::countStartingWith(log.entries(), "WARNING Network: " + origin.baseUrl() + " timed out"), 1u);
}

TEST_F(NetworkPaths, LargeBodyCutAt90PercentIsContinuedFromWhereItStopped) {
    const std::string body = bytesOf(20u << 20);
    const std::size_t cut = body.size() / 10 * 9;
    for (const bool strict : {false, true}) {
        SCOPED_TRACE(strict);
        policy.strict = strict;
        ScriptedResponse broken;
        broken.body = body;
        broken.cutAfterBytes = cut;
        broken.headers = {{"ETag", "\"release-7\""}};
        ScriptedResponse rest = broken;
        rest.cutAfterBytes.reset(), rest.honourRanges = true;
        origin.respondInTurn("/libcurl.dll", {broken, rest});
        origin.clearRecord();
        ProcessLogTail log;
        EXPECT_EQ(fetch(origin.url("/libcurl.dll"), body.size()), shown(body));
        ASSERT_TRUE(origin.waitForFinishedResponses(10s));
        const auto requests = origin.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_FALSE(requests[0].header("Range"));
        EXPECT_EQ(requests[1].header("Range"), "bytes=" + std::to_string(cut) + "-");
        EXPECT_EQ(requests[1].header("If-Range"), "\"release-7\"");
        EXPECT_EQ(requests[1].status, 206);
        EXPECT_EQ(requests[1].bodyBytesSent, body.size() - cut);
        EXPECT_TRUE(test::containsMessage(log.entries(), "INFO Resuming " + origin.url("/libcurl.dll") +
                                                             " from byte " + std::to_string(cut)));
    }
}

TEST_F(NetworkPaths, StrictDownloadThatTricklesForeverEndsAtItsDeadline) {
    ScriptedResponse endless;
    endless.endless = true;
    endless.body = std::string(2048, 'x');
    endless.trickleInterval = 100ms;
    endless.trickleChunk = 512; // 5 KiB/s: well above the low-speed rule
    origin.respond("/file", endless);
    policy.strict = true;
    policy.deadline.base = 2s;
    policy.deadline.bytesPerSecond = 1024 * 1024;
    ProcessLogTail log;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(fetch(origin.url("/file"), 1024 * 1024));
    EXPECT_LT(Clock::now() - start, 6s);
    EXPECT_TRUE(test::containsMessage(log.entries(), "ERROR Download took longer than its deadline of 3 s: " +
                                                         origin.url("/file")));
    EXPECT_EQ(origin.requests().size(), 1u);
    EXPECT_FALSE(test::fileExists(dir.file("download.bin")));
}

} // namespace
} // namespace vesk::updater
