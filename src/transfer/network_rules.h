#pragma once

// The decisions a download makes after its first attempt failed: which failures are worth another try and
// after how long, when a broken-off body may be continued, which servers to stop asking, and in which order
// to try the ways out of the network (proxies). Pure logic, so every rule can be checked without a network.

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace vesk::updater {

// What became of one request.
enum class AttemptFailure {
    None,        // an answer arrived and its body was read to its end
    Refused,     // no connection could be made (refused, name not found, proxy unreachable)
    TimedOut,    // the server (or proxy) took a connection and then never answered in time
    Broken,      // the connection broke, or the body ended short, after the answer began
    Status,      // an answer arrived with a status that is not a success
    Rejected,    // what arrived cannot be the file (too large, too slow, over the deadline, not writable)
};

struct AttemptResult {
    AttemptFailure failure = AttemptFailure::None;
    unsigned long status = 0;            // the HTTP status, 0 when no answer arrived
    std::optional<std::string> retryAfter; // the Retry-After header as sent
};

struct RetryRules {
    int maxAttempts = 3;                               // per URL, the first attempt included
    std::chrono::milliseconds firstBackoff{1000};      // before the first retry; doubles with each one
    std::chrono::milliseconds longestBackoff{8000};
    std::chrono::milliseconds longestRetryAfter{30000}; // a server may ask for no longer wait than this
};

// The kind of failure a WinHTTP or socket error code (as GetLastError reports it after a request failed)
// stands for. Certificate and TLS errors are refusals of the server itself: no second try mends them.
AttemptFailure classifyRequestError(unsigned long code);

// 408, 429, 500, 502, 503 and 504: answers that say "not now" rather than "not here".
bool isTransientStatus(unsigned long status);

enum class RetryVerdict {
    Done,       // success, or a failure that another try would not mend (404, 403, a body refused)
    Retry,      // ask the same server again after retryDelay
    SkipServer, // the server cannot be reached: stop asking it for the rest of the run
};

// attemptsMade counts the attempts so far at this URL, the one judged included. A time-out skips the server
// at once (every time-out costs a full receive wait); a refused connection is retried like any transient
// failure and skips the server once the retries are spent.
RetryVerdict retryVerdict(const AttemptResult& result, int attemptsMade, const RetryRules& rules);

// Reads a Retry-After value: delta-seconds, or an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT") taken
// against now. Nothing for anything else; a date in the past reads as zero.
std::optional<std::chrono::seconds> parseRetryAfter(const std::string& text,
                                                    std::chrono::system_clock::time_point now);

// How long to wait before retry number `retry` (1 for the first): the server's Retry-After up to the cap
// when it sent a readable one, otherwise exponential back-off with jitter (a uniform draw from the upper
// half of the step, so that many clients that failed together do not come back together).
std::chrono::milliseconds retryDelay(const AttemptResult& result, int retry, const RetryRules& rules,
                                     std::mt19937_64& random, std::chrono::system_clock::time_point now);

// The scheme, host and port of a URL, lower-cased: the name under which a server is skipped.
std::string serverKey(const std::string& url);

// Servers that timed out or refused during this run.
class ServerSkipList {
public:
    bool skipped(const std::string& url) const;
    // True when the server was not skipped before (the caller logs that once).
    bool skip(const std::string& url);

private:
    std::set<std::string> servers_;
};

// --- Continuing a broken-off download ---

// Files smaller than this start over after a break: a second request costs little, and a resumed transfer
// needs a validator and a server that honours ranges.
constexpr std::uint64_t kResumeThreshold = std::uint64_t{1} << 20;

// What the first answer said about the file, for a later If-Range.
struct ResumeValidator {
    std::string etag;         // strong entity tag only (a weak one cannot be used with If-Range)
    std::string lastModified;
    // The If-Range value: the ETag when there is one, else Last-Modified; "" when neither.
    std::string ifRange() const { return etag.empty() ? lastModified : etag; }
};

// Whether a broken-off body of `have` bytes is continued from where it stopped rather than fetched again.
bool shouldResume(std::optional<std::uint64_t> expectedSize, std::uint64_t have, const ResumeValidator& validator);

// The Range header value that asks for everything from `offset` on.
std::string rangeHeader(std::uint64_t offset);

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> total; // nothing for "*"
};
// Parses "bytes first-last/total" (or ".../*"); nothing when malformed or first > last.
std::optional<ContentRange> parseContentRange(const std::string& text);

enum class ResumeVerdict {
    Append,    // the answer continues the partial file exactly
    StartOver, // the body is the whole file (or useless as a continuation): write it from zero
};

// Judges the answer to a ranged request. `have` is the partial file's length; `sent` the validator the
// request carried; `answered` the validator the answer carries; expectedSize the file's known size.
// Anything but a 206 whose range starts at `have`, whose total fits the expected size and whose validator
// equals the one sent means starting over.
ResumeVerdict resumeVerdict(unsigned long status, const std::optional<std::string>& contentRange,
                            std::uint64_t have, const ResumeValidator& sent, const ResumeValidator& answered,
                            std::optional<std::uint64_t> expectedSize);

// --- The whole-download deadline of strict transfers ---

struct DownloadDeadline {
    std::chrono::seconds base{120};
    std::uint64_t bytesPerSecond = 16 * 1024;
};
// The time a whole download (every attempt at one URL) may take: base plus the size at the rate.
std::chrono::seconds downloadDeadline(const DownloadDeadline& rule, std::uint64_t sizeBound);

// --- Ways out of the network ---

enum class ProxyRoute {
    MachineDefault, // the machine's WinHTTP proxy setting (what every first attempt uses)
    UserFixed,      // the proxy and bypass list of the user's Internet settings
    UserScript,     // the automatic-configuration script named in the user's Internet settings
    UserAutoDetect, // automatic proxy discovery (WPAD)
    Direct,         // no proxy
};

struct UserProxySettings {
    bool autoDetect = false;
    std::string scriptUrl;
    std::string proxy;
    std::string bypass;
};

// The routes to try after the machine default failed, in order: the user's fixed proxy, the script, auto-
// detection (each only when set), then direct unless the machine default already was direct.
std::vector<ProxyRoute> fallbackRoutes(const UserProxySettings& user, bool machineDefaultIsDirect);

// Where a route comes from, for the log line that names it.
std::string routeDescription(ProxyRoute route);

// text with every byte outside printable ASCII shown as '?', for values from outside that go into a log line.
std::string printableText(const std::string& text);

// Removes user name and password from a proxy text ("user:pw@host:port" -> "host:port"), in every entry of
// a list, so that a log line never carries credentials.
std::string withoutCredentials(const std::string& proxy);

// What to do with a 407: answer it once with the logged-on user's credentials when the proxy offers a
// scheme that carries them (Negotiate or NTLM) and that has not been tried yet; never ask anyone.
bool answerProxyChallenge(bool offersIntegratedScheme, bool alreadyAnswered);

} // namespace vesk::updater
