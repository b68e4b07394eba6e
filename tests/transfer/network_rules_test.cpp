// The decisions taken after a failed first attempt, one table per decision.
#include "transfer/network_rules.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vesk::updater {
namespace {

using namespace std::chrono_literals;

AttemptResult failed(AttemptFailure failure, unsigned long status = 0) {
    AttemptResult result;
    result.failure = failure;
    result.status = status;
    return result;
}

TEST(NetworkRules, WhichFailuresAreRetriedAndWhichServersGivenUp) {
    const RetryRules rules;
    struct Case {
        AttemptResult result;
        int attemptsMade;
        RetryVerdict verdict;
    };
    const Case cases[] = {
        {failed(AttemptFailure::None, 200), 1, RetryVerdict::Done},
        {failed(AttemptFailure::Status, 503), 1, RetryVerdict::Retry},
        {failed(AttemptFailure::Status, 503), 3, RetryVerdict::Done},
        {failed(AttemptFailure::Status, 429), 2, RetryVerdict::Retry},
        {failed(AttemptFailure::Status, 404), 1, RetryVerdict::Done},
        {failed(AttemptFailure::Status, 501), 1, RetryVerdict::Done},
        {failed(AttemptFailure::Broken), 2, RetryVerdict::Retry},
        {failed(AttemptFailure::Broken), 3, RetryVerdict::Done},
        {failed(AttemptFailure::Rejected), 1, RetryVerdict::Done}, // too large, too slow, a bad certificate
        {failed(AttemptFailure::TimedOut), 1, RetryVerdict::SkipServer},
        {failed(AttemptFailure::Refused), 1, RetryVerdict::Retry},
        {failed(AttemptFailure::Refused), 3, RetryVerdict::SkipServer},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(test.result.failure) << " " << test.result.status
                                        << " after " << test.attemptsMade);
        EXPECT_EQ(retryVerdict(test.result, test.attemptsMade, rules), test.verdict);
    }
    const std::pair<unsigned long, AttemptFailure> codes[] = {
        {12002, AttemptFailure::TimedOut}, {10060, AttemptFailure::TimedOut}, {12029, AttemptFailure::Refused},
        {12007, AttemptFailure::Refused},  {10061, AttemptFailure::Refused},  {12030, AttemptFailure::Broken},
        {12152, AttemptFailure::Broken},   {12175, AttemptFailure::Rejected}, {12157, AttemptFailure::Rejected},
    };
    for (const auto& [code, failure] : codes) {
        EXPECT_EQ(classifyRequestError(code), failure) << code;
    }
}

TEST(NetworkRules, RetryAfterIsReadAndCappedOtherwiseBackOffWithJitter) {
    // Wed, 09 Dec 2026 20:00:00 GMT
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1796846400));
    struct Case {
        const char* text;
        std::optional<std::chrono::seconds> seconds;
    };
    const Case cases[] = {
        {" 120 ", 120s},
        {"99999999999999999999", 86400s},
        {"Wed, 09 Dec 2026 20:00:30 GMT", 30s},
        {"Wed, 09 Dec 2026 19:00:00 GMT", 0s}, // already past
        {"-5", std::nullopt}, {"2.5", std::nullopt},
        {"Wed, 31 Foo 2026 20:00:30 GMT", std::nullopt},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(parseRetryAfter(test.text, now), test.seconds) << test.text;
    }

    const RetryRules rules; // 1 s doubling up to 8 s; Retry-After up to 30 s
    std::mt19937_64 random(7);
    AttemptResult busy = failed(AttemptFailure::Status, 503);
    busy.retryAfter = "3600";
    EXPECT_EQ(retryDelay(busy, 1, rules, random, now), 30000ms); // capped
    busy.retryAfter = "soon";
    std::set<long long> seen;
    for (int retry = 1; retry <= 6; ++retry) {
        const long long step = std::min(1000LL << (retry - 1), 8000LL);
        for (int draw = 0; draw < 50; ++draw) {
            const auto delay = retryDelay(busy, retry, rules, random, now).count();
            EXPECT_GE(delay, step / 2) << retry;
            EXPECT_LE(delay, step) << retry;
            seen.insert(delay);
        }
    }
    EXPECT_GT(seen.size(), 100u); // jittered, not a fixed schedule
}

TEST(NetworkRules, ServersAreSkippedByOriginOnce) {
    EXPECT_EQ(serverKey("http://Mirror.Example.com/updates/x"), "http://mirror.example.com:80");
    EXPECT_EQ(serverKey("https://mirror.example.com/x"), "https://mirror.example.com:443");
    EXPECT_EQ(serverKey("http://[::1]/x"), "http://[::1]:80");
    EXPECT_EQ(serverKey("http://evil\r\nINFO forged:81/x"), "http://evil??info forged:81");
    ServerSkipList skipped;
    EXPECT_TRUE(skipped.skip("http://Mirror.Example.com/a"));
    EXPECT_FALSE(skipped.skip("http://mirror.example.com:80/b")); // said once
    EXPECT_TRUE(skipped.skipped("http://mirror.example.com/c"));
    EXPECT_FALSE(skipped.skipped("https://mirror.example.com/c"));
    EXPECT_FALSE(skipped.skipped("http://mirror.example.com:8080/c"));
}

TEST(NetworkRules, ABrokenBodyIsContinuedOnlyWhenTheAnswerFitsExactly) {
    const ResumeValidator tag{"\"v1\"", ""};
    const ResumeValidator date{"", "Wed, 09 Dec 2026 10:00:00 GMT"};
    const ResumeValidator otherTag{"\"v2\"", ""};
    struct Case {
        const char* name;
        unsigned long status;
        std::optional<std::string> range;
        ResumeValidator answered;
        ResumeVerdict verdict;
    };
    const Case cases[] = {
        {"the rest, same tag", 206, "bytes 90-99/100", tag, ResumeVerdict::Append},
        {"range ignored", 200, std::nullopt, tag, ResumeVerdict::StartOver},
        {"another version", 206, "bytes 90-99/100", otherTag, ResumeVerdict::StartOver},
        {"no validator in the answer", 206, "bytes 90-99/100", ResumeValidator{}, ResumeVerdict::StartOver},
        {"starts elsewhere", 206, "bytes 0-99/100", tag, ResumeVerdict::StartOver},
        {"another total", 206, "bytes 90-100/101", tag, ResumeVerdict::StartOver},
        {"stops short", 206, "bytes 90-98/100", tag, ResumeVerdict::StartOver},
        {"unknown total", 206, "bytes 90-99/*", tag, ResumeVerdict::StartOver},
        {"garbled", 206, "bytes x-y/z", tag, ResumeVerdict::StartOver},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(resumeVerdict(test.status, test.range, 90, tag, test.answered, 100), test.verdict) << test.name;
    }
    const std::uint64_t size = 20u << 20;
    const std::uint64_t have = size / 10 * 9;
    EXPECT_EQ(resumeVerdict(206, std::string("bytes 90-99/100"), 90, date, date, 100), ResumeVerdict::Append);
    EXPECT_EQ(rangeHeader(have), "bytes=" + std::to_string(have) + "-");

    struct When {
        std::optional<std::uint64_t> expected;
        std::uint64_t have;
        ResumeValidator validator;
        bool resume;
    };
    const When whens[] = {
        {size, have, tag, true},
        {size, have, date, true},
        {size, have, ResumeValidator{}, false}, // nothing to tie the rest to the first part
        {size, 0, tag, false},
        {kResumeThreshold - 1, 1000, tag, false}, // small files start over
        {std::nullopt, have, tag, false},
    };
    for (const When& when : whens) {
        EXPECT_EQ(shouldResume(when.expected, when.have, when.validator), when.resume) << when.have;
    }
}

TEST(NetworkRules, WholeDownloadDeadlineGrowsWithTheSize) {
    const DownloadDeadline rule; // 120 s + 1 s per 16 KiB
    EXPECT_EQ(downloadDeadline(rule, 0), 120s);
    EXPECT_EQ(downloadDeadline(rule, 16 * 1024), 121s);
    EXPECT_EQ(downloadDeadline(rule, 20u << 20), 1400s);
    EXPECT_EQ(downloadDeadline(rule, std::uint64_t{1} << 30), 65656s);
}

TEST(NetworkRules, RoutesAfterTheMachineSettingAndWhatTheLogMayShow) {
    struct Case {
        UserProxySettings user;
        bool machineDirect;
        std::vector<ProxyRoute> routes;
    };
    const Case cases[] = {
        {{}, true, {}},
        {{true, "http://wpad/proxy.pac", "proxy:8080", "<local>"},
         true,
         {ProxyRoute::UserFixed, ProxyRoute::UserScript, ProxyRoute::UserAutoDetect}},
        {{false, "http://wpad/proxy.pac", "", ""}, false, {ProxyRoute::UserScript, ProxyRoute::Direct}},
        {{true, "", "", ""}, false, {ProxyRoute::UserAutoDetect, ProxyRoute::Direct}},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(fallbackRoutes(test.user, test.machineDirect), test.routes);
    }
    EXPECT_EQ(withoutCredentials("http://alice:s3cr@t@proxy.corp:8080"), "http://proxy.corp:8080");
    EXPECT_EQ(withoutCredentials("http=bob:pw@p1:80;https=p2:443"), "http=p1:80;https=p2:443");
    EXPECT_TRUE(answerProxyChallenge(true, false) && !answerProxyChallenge(true, true)); // once only
    EXPECT_FALSE(answerProxyChallenge(false, false)); // Basic or Digest would need a password: never asked
}

} // namespace
} // namespace vesk::updater
