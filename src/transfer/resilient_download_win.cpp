#include "transfer/resilient_download_win.h"

#include "core/logger.h"
#include "core/windows_text_win.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace vesk::updater {

namespace {

using Clock = std::chrono::steady_clock;

std::string narrowText(const wchar_t* text) {
    std::string narrow;
    for (; text && *text; ++text) {
        narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    }
    return narrow;
}

std::string narrowText(const std::wstring& text) {
    return narrowText(text.c_str());
}

// Frees the strings WinHTTP hands out with GlobalAlloc.
struct GlobalText {
    wchar_t* text = nullptr;
    ~GlobalText() {
        if (text) {
            ::GlobalFree(text);
        }
    }
};

bool machineDefaultIsDirect() {
    WINHTTP_PROXY_INFO info{};
    if (!::WinHttpGetDefaultProxyConfiguration(&info)) {
        return true;
    }
    GlobalText proxy{info.lpszProxy};
    GlobalText bypass{info.lpszProxyBypass};
    return info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY || !proxy.text || !*proxy.text;
}

// Asks the script (or WPAD) which proxy serves url; nothing when the answer cannot be had.
std::optional<RouteSetting> scriptedRoute(ProxyRoute route, const UserProxySettings& user, const std::wstring& url,
                                          const std::wstring& userAgent) {
    InternetHandle session(::WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return std::nullopt;
    }
    const std::wstring scriptUrl = widenUrl(user.scriptUrl);
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (route == ProxyRoute::UserScript) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl.c_str();
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!::WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) {
        return std::nullopt;
    }
    GlobalText proxy{info.lpszProxy};
    GlobalText bypass{info.lpszProxyBypass};
    RouteSetting setting;
    setting.route = route;
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy.text && *proxy.text) {
        setting.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        setting.proxy = proxy.text;
        setting.bypass = bypass.text ? bypass.text : L"";
    } else {
        setting.accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    }
    return setting;
}

std::optional<RouteSetting> resolveRoute(ProxyRoute route, const UserProxySettings& user, const std::wstring& url,
                                         const std::wstring& userAgent) {
    RouteSetting setting;
    setting.route = route;
    switch (route) {
    case ProxyRoute::MachineDefault:
        return setting;
    case ProxyRoute::Direct:
        setting.accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
        return setting;
    case ProxyRoute::UserFixed:
        setting.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        setting.proxy = widenUrl(user.proxy);
        setting.bypass = widenUrl(user.bypass);
        return setting;
    case ProxyRoute::UserScript:
    case ProxyRoute::UserAutoDetect:
        return scriptedRoute(route, user, url, userAgent);
    }
    return std::nullopt;
}

std::string routeText(const RouteSetting& setting) {
    std::string text = routeDescription(setting.route);
    if (setting.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        text += " (proxy " + printableText(withoutCredentials(narrowText(setting.proxy))) + ")";
    } else if (setting.route != ProxyRoute::Direct && setting.route != ProxyRoute::MachineDefault) {
        text += " (no proxy)";
    }
    return text;
}

std::string failureText(const AttemptOutcome& outcome) {
    switch (outcome.judged.failure) {
    case AttemptFailure::Refused:
        return "no connection";
    case AttemptFailure::TimedOut:
        return "timed out";
    case AttemptFailure::Broken:
        return "the transfer broke off";
    case AttemptFailure::Status:
        return "HTTP status " + std::to_string(outcome.judged.status);
    default:
        return "failed";
    }
}

bool noAnswer(const AttemptOutcome& outcome) {
    return outcome.challenged || outcome.judged.failure == AttemptFailure::Refused ||
           outcome.judged.failure == AttemptFailure::TimedOut;
}

} // namespace

NetworkRun::NetworkRun() : NetworkRun(std::random_device{}()) {}

NetworkRun::NetworkRun(std::uint64_t seed) : random(seed) {}

NetworkRun& networkRun() {
    // Never destroyed: a download may still run on the update thread while the process ends.
    static NetworkRun* run = new NetworkRun();
    return *run;
}

UserProxySettings readUserProxySettings() {
    UserProxySettings settings;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        return settings;
    }
    GlobalText script{config.lpszAutoConfigUrl};
    GlobalText proxy{config.lpszProxy};
    GlobalText bypass{config.lpszProxyBypass};
    settings.autoDetect = config.fAutoDetect != FALSE;
    settings.scriptUrl = narrowText(script.text);
    settings.proxy = narrowText(proxy.text);
    settings.bypass = narrowText(bypass.text);
    return settings;
}

bool resilientDownload(const AttemptRequest& first, NetworkRun& run) {
    const std::string url = narrowText(first.url);
    const TransferPolicy& policy = first.policy;
    {
        std::lock_guard<std::mutex> lock(run.mutex);
        if (run.skipped.skipped(url)) {
            return false; // the line saying so was written when the server was given up
        }
    }
    AttemptRequest request = first;
    if (policy.strict) {
        request.deadlineLength = downloadDeadline(policy.deadline, policy.deadlineSize.value_or(first.limit.bytes));
        request.deadline = Clock::now() + request.deadlineLength;
    }
    std::optional<RouteSetting> remembered;
    {
        std::lock_guard<std::mutex> lock(run.mutex);
        remembered = run.remembered;
    }
    // The first attempt goes the way it always went, unless an earlier download of this run found that way
    // closed and another open.
    if (remembered) {
        request.route = *remembered;
        request.answerProxyChallenge = true;
    }
    AttemptOutcome outcome = attemptDownload(request);
    bool fileOk = outcome.ok;
    bool fileTouched = outcome.fileTouched;
    std::uint64_t fileBytes = outcome.fileBytes;
    ResumeValidator fileValidator = outcome.validator;
    auto note = [&](const AttemptOutcome& latest) {
        if (latest.fileTouched) {
            fileTouched = true;
            fileOk = latest.ok;
            fileBytes = latest.fileBytes;
            if (!latest.resumed) {
                fileValidator = latest.validator;
            }
        }
    };

    // Without any answer, try the other ways through the network, each once, in their order.
    std::vector<ProxyRoute> tried = {request.route.route};
    RouteSetting working = request.route;
    if (noAnswer(outcome) && !request.answerProxyChallenge && outcome.challenged) {
        // The machine's proxy wants to know who asks: tell it once, as the logged-on user.
        request.answerProxyChallenge = true;
        outcome = attemptDownload(request);
        note(outcome);
    }
    if (noAnswer(outcome)) {
        UserProxySettings user;
        bool defaultDirect = true;
        {
            std::lock_guard<std::mutex> lock(run.mutex);
            if (!run.userSettings) {
                run.userSettings = readUserProxySettings();
                run.machineDefaultIsDirect = machineDefaultIsDirect();
            }
            user = *run.userSettings;
            defaultDirect = *run.machineDefaultIsDirect;
        }
        std::vector<ProxyRoute> order = fallbackRoutes(user, defaultDirect);
        if (request.route.route != ProxyRoute::MachineDefault) {
            order.insert(order.begin(), ProxyRoute::MachineDefault);
        }
        for (const ProxyRoute route : order) {
            if (!noAnswer(outcome)) {
                break;
            }
            if (std::find(tried.begin(), tried.end(), route) != tried.end()) {
                continue;
            }
            tried.push_back(route);
            {
                std::lock_guard<std::mutex> lock(run.mutex);
                if (run.unusableRoutes.count(static_cast<int>(route)) > 0) {
                    continue;
                }
            }
            const std::optional<RouteSetting> setting = resolveRoute(route, user, first.url, first.userAgent);
            bool firstMention = false;
            {
                std::lock_guard<std::mutex> lock(run.mutex);
                if (!setting) {
                    // No script or discovery answer: nothing to try, now or later in this run.
                    run.unusableRoutes.insert(static_cast<int>(route));
                    continue;
                }
                firstMention = run.loggedRoutes.insert(static_cast<int>(route)).second;
            }
            if (firstMention) {
                logger().info("Network: trying " + routeText(*setting));
            }
            AttemptRequest other = request;
            other.route = *setting;
            other.answerProxyChallenge = true;
            outcome = attemptDownload(other);
            note(outcome);
            if (!noAnswer(outcome)) {
                working = *setting;
                request = other;
                std::lock_guard<std::mutex> lock(run.mutex);
                if (!run.remembered || run.remembered->route != working.route) {
                    run.remembered = working;
                    logger().info("Network: using " + routeText(working) + " for the rest of this run");
                }
            }
        }
    }

    // Then, on the way that answered (or today's way when none did), the retry rules.
    int attempts = 1;
    bool resumeAllowed = true;
    for (;;) {
        const RetryVerdict verdict = retryVerdict(outcome.judged, attempts, policy.retry);
        if (verdict == RetryVerdict::SkipServer) {
            const std::string failed = outcome.failedUrl.empty() ? url : outcome.failedUrl;
            bool firstTime = false;
            {
                std::lock_guard<std::mutex> lock(run.mutex);
                firstTime = run.skipped.skip(failed);
            }
            if (firstTime) {
                logger().warning("Network: " + serverKey(failed) + " " +
                                 (outcome.judged.failure == AttemptFailure::TimedOut ? "timed out"
                                                                                     : "refused the connection") +
                                 "; not asking it again in this run");
            }
            break;
        }
        if (verdict != RetryVerdict::Retry) {
            break;
        }
        {
            // A redirect into a server already given up: asking again would only fail again.
            std::lock_guard<std::mutex> lock(run.mutex);
            if (!outcome.failedUrl.empty() && run.skipped.skipped(outcome.failedUrl)) {
                break;
            }
        }
        std::chrono::milliseconds delay{0};
        {
            std::lock_guard<std::mutex> lock(run.mutex);
            delay = retryDelay(outcome.judged, attempts, policy.retry, run.random, std::chrono::system_clock::now());
        }
        if (request.deadline && Clock::now() + delay > *request.deadline) {
            break;
        }
        ++attempts;
        logger().info("Retrying " + url + " in " + std::to_string(delay.count()) + " ms (attempt " +
                      std::to_string(attempts) + " of " + std::to_string(policy.retry.maxAttempts) +
                      "): " + failureText(outcome));
        std::this_thread::sleep_for(delay);

        request.resumeFrom.reset();
        const std::optional<std::uint64_t> expected =
            first.limit.isExpectedSize ? std::optional<std::uint64_t>(first.limit.bytes) : std::nullopt;
        if (resumeAllowed && outcome.judged.failure == AttemptFailure::Broken && fileTouched &&
            shouldResume(expected, fileBytes, fileValidator)) {
            request.resumeFrom = fileBytes;
            request.resumeValidator = fileValidator;
            logger().info("Resuming " + url + " from byte " + std::to_string(fileBytes));
        }
        outcome = attemptDownload(request);
        if (request.resumeFrom && !outcome.resumed) {
            resumeAllowed = false; // the server would not continue: from now on only whole bodies
        }
        note(outcome);
    }
    if (!fileOk && fileTouched) {
        // What arrived is no use to anyone once the download has failed.
        ::DeleteFileW(pathForWindows(first.filePath).c_str());
    }
    return fileOk && fileTouched;
}

} // namespace vesk::updater
