#pragma once

// One download made of attempts: the first exactly as a single GET always was, then, only when that one
// failed, other ways through the network, retries after a pause, and a broken-off body continued.

#include "core/handles_win.h"
#include "transfer/http_download.h"
#include "transfer/network_rules.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>

namespace vesk::updater {

// How one attempt reaches the network.
struct RouteSetting {
    ProxyRoute route = ProxyRoute::MachineDefault;
    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::wstring proxy;  // for WINHTTP_ACCESS_TYPE_NAMED_PROXY
    std::wstring bypass;
};

struct AttemptRequest {
    std::wstring url;
    DownloadTarget target;
    std::wstring userAgent;
    std::string filePath;
    SizeLimit limit;
    TransferPolicy policy;
    RouteSetting route;
    // Answer a 407 once with the logged-on user's credentials (never on today's first attempt).
    bool answerProxyChallenge = false;
    // Continue the partial file at filePath from this offset, asking with Range and If-Range.
    std::optional<std::uint64_t> resumeFrom;
    ResumeValidator resumeValidator;
    // Strict transfers: the moment the whole download must be over, and its length for the log line.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::chrono::seconds deadlineLength{0};
};

struct AttemptOutcome {
    bool ok = false;         // what a single GET returns for this attempt
    AttemptResult judged;    // what went wrong, for the retry rules
    bool answered = false;   // an HTTP answer other than a proxy's 407 arrived
    bool challenged = false; // the proxy still wanted credentials
    bool fileTouched = false;
    std::uint64_t fileBytes = 0;
    ResumeValidator validator;
    bool resumed = false;    // the body continued the partial file
    std::string failedUrl;   // where a request without an answer failed, when WinHTTP can tell
};

// One GET under the given route (defined with the single download).
AttemptOutcome attemptDownload(const AttemptRequest& request);

// What every download of this process has learnt about the network so far: the route that worked, the
// servers not worth asking again, the routes already named in the log.
class NetworkRun {
public:
    NetworkRun();
    explicit NetworkRun(std::uint64_t seed);

    std::mutex mutex;
    ServerSkipList skipped;
    std::optional<RouteSetting> remembered;
    std::set<int> loggedRoutes;
    std::set<int> unusableRoutes;
    std::optional<UserProxySettings> userSettings; // read once per run
    std::optional<bool> machineDefaultIsDirect;
    std::mt19937_64 random;
};

// The process-wide run used when a policy names none.
NetworkRun& networkRun();

// Reads the user's Internet settings (fixed proxy, bypass, script, auto-detect).
UserProxySettings readUserProxySettings();

// The single download with everything that follows a failed first attempt.
bool resilientDownload(const AttemptRequest& first, NetworkRun& run);

} // namespace vesk::updater
