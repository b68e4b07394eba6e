#include "transfer/network_rules.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vesk::updater {

namespace {

bool allDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// Decimal digits to a number, nothing when there are none or the value passes limit.
std::optional<std::uint64_t> parseNumber(const std::string& text, std::uint64_t limit) {
    if (!allDigits(text) || text.size() > 19) {
        return std::nullopt;
    }
    const std::uint64_t value = std::stoull(text);
    if (value > limit) {
        return std::nullopt;
    }
    return value;
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" to seconds since 1970; nothing for any other form.
std::optional<std::int64_t> parseImfFixdate(const std::string& text) {
    static const std::array<const char*, 12> months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() != 29 || text.compare(3, 2, ", ") != 0 || text[7] != ' ' || text[11] != ' ' ||
        text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.compare(25, 4, " GMT") != 0) {
        return std::nullopt;
    }
    const auto day = parseNumber(text.substr(5, 2), 31);
    const auto year = parseNumber(text.substr(12, 4), 9999);
    const auto hour = parseNumber(text.substr(17, 2), 23);
    const auto minute = parseNumber(text.substr(20, 2), 59);
    const auto second = parseNumber(text.substr(23, 2), 60);
    const auto month = std::find_if(months.begin(), months.end(),
                                    [&](const char* name) { return text.compare(8, 3, name) == 0; });
    if (!day || *day == 0 || !year || !hour || !minute || !second || month == months.end()) {
        return std::nullopt;
    }
    const auto monthNumber = static_cast<unsigned>(month - months.begin() + 1);
    return daysFromCivil(static_cast<std::int64_t>(*year), monthNumber, static_cast<unsigned>(*day)) * 86400 +
           static_cast<std::int64_t>(*hour * 3600 + *minute * 60 + *second);
}

} // namespace

AttemptFailure classifyRequestError(unsigned long code) {
    switch (code) {
    case 12002: // ERROR_WINHTTP_TIMEOUT
    case 10060: // WSAETIMEDOUT, what Wine reports for the same
        return AttemptFailure::TimedOut;
    case 12007: // ERROR_WINHTTP_NAME_NOT_RESOLVED
    case 12029: // ERROR_WINHTTP_CANNOT_CONNECT
    case 10061: // WSAECONNREFUSED
    case 12166: // ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT
    case 12167: // ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT
    case 12178: // ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR
    case 12180: // ERROR_WINHTTP_AUTODETECTION_FAILED
        return AttemptFailure::Refused;
    case 12037: // ERROR_WINHTTP_SECURE_CERT_DATE_INVALID
    case 12038: // ERROR_WINHTTP_SECURE_CERT_CN_INVALID
    case 12044: // ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED
    case 12045: // ERROR_WINHTTP_SECURE_INVALID_CA
    case 12157: // ERROR_WINHTTP_SECURE_CHANNEL_ERROR
    case 12169: // ERROR_WINHTTP_SECURE_INVALID_CERT
    case 12170: // ERROR_WINHTTP_SECURE_CERT_REVOKED
    case 12175: // ERROR_WINHTTP_SECURE_FAILURE
    case 12179: // ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE
        return AttemptFailure::Rejected;
    default: // a reset, a broken or garbled answer
        return AttemptFailure::Broken;
    }
}

bool isTransientStatus(unsigned long status) {
    switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
        return true;
    default:
        return false;
    }
}

RetryVerdict retryVerdict(const AttemptResult& result, int attemptsMade, const RetryRules& rules) {
    const bool triesLeft = attemptsMade < rules.maxAttempts;
    switch (result.failure) {
    case AttemptFailure::None:
    case AttemptFailure::Rejected:
        return RetryVerdict::Done;
    case AttemptFailure::Status:
        return isTransientStatus(result.status) && triesLeft ? RetryVerdict::Retry : RetryVerdict::Done;
    case AttemptFailure::Broken:
        return triesLeft ? RetryVerdict::Retry : RetryVerdict::Done;
    case AttemptFailure::TimedOut:
        return RetryVerdict::SkipServer;
    case AttemptFailure::Refused:
        return triesLeft ? RetryVerdict::Retry : RetryVerdict::SkipServer;
    }
    return RetryVerdict::Done;
}

std::optional<std::chrono::seconds> parseRetryAfter(const std::string& text,
                                                    std::chrono::system_clock::time_point now) {
    const std::size_t first = text.find_first_not_of(' ');
    const std::size_t last = text.find_last_not_of(' ');
    if (first == std::string::npos) {
        return std::nullopt;
    }
    const std::string value = text.substr(first, last - first + 1);
    // A longer wait than a day is as good as "never"; the cap cuts it down anyway.
    if (const auto seconds = parseNumber(value, 86400)) {
        return std::chrono::seconds(*seconds);
    }
    if (allDigits(value)) {
        return std::chrono::seconds(86400);
    }
    const std::optional<std::int64_t> when = parseImfFixdate(value);
    if (!when) {
        return std::nullopt;
    }
    const std::int64_t nowSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    return std::chrono::seconds(std::clamp<std::int64_t>(*when - nowSeconds, 0, 86400));
}

std::chrono::milliseconds retryDelay(const AttemptResult& result, int retry, const RetryRules& rules,
                                     std::mt19937_64& random, std::chrono::system_clock::time_point now) {
    if (result.retryAfter) {
        if (const auto asked = parseRetryAfter(*result.retryAfter, now)) {
            return std::min<std::chrono::milliseconds>(*asked, rules.longestRetryAfter);
        }
    }
    std::chrono::milliseconds step = rules.firstBackoff;
    for (int i = 1; i < retry && step < rules.longestBackoff; ++i) {
        step *= 2;
    }
    step = std::min(step, rules.longestBackoff);
    const auto half = step.count() / 2;
    std::uniform_int_distribution<long long> draw(half, step.count());
    return std::chrono::milliseconds(draw(random));
}

std::string printableText(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        if (c < 0x20 || c > 0x7e) {
            c = '?';
        }
    }
    return shown;
}

std::string serverKey(const std::string& url) {
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos) {
        return printableText(lowerCase(url));
    }
    const std::size_t hostEnd = url.find_first_of("/?#", schemeEnd + 3);
    // A redirect names the server, so the key may come from outside and goes into a log line.
    std::string key = printableText(lowerCase(url.substr(0, hostEnd)));
    // The default port written out or left out names the same server.
    const std::string scheme = key.substr(0, schemeEnd);
    const std::string host = key.substr(schemeEnd + 3);
    if (host.find(':') == std::string::npos || host.back() == ']') {
        key += scheme == "https" ? ":443" : ":80";
    }
    return key;
}

bool ServerSkipList::skipped(const std::string& url) const {
    return servers_.count(serverKey(url)) > 0;
}

bool ServerSkipList::skip(const std::string& url) {
    return servers_.insert(serverKey(url)).second;
}

bool shouldResume(std::optional<std::uint64_t> expectedSize, std::uint64_t have, const ResumeValidator& validator) {
    return expectedSize && *expectedSize >= kResumeThreshold && have > 0 && have < *expectedSize &&
           !validator.ifRange().empty();
}

std::string rangeHeader(std::uint64_t offset) {
    return "bytes=" + std::to_string(offset) + "-";
}

std::optional<ContentRange> parseContentRange(const std::string& text) {
    if (text.compare(0, 6, "bytes ") != 0) {
        return std::nullopt;
    }
    const std::size_t dash = text.find('-', 6);
    const std::size_t slash = text.find('/', 6);
    if (dash == std::string::npos || slash == std::string::npos || dash > slash) {
        return std::nullopt;
    }
    const auto first = parseNumber(text.substr(6, dash - 6), UINT64_MAX);
    const auto last = parseNumber(text.substr(dash + 1, slash - dash - 1), UINT64_MAX);
    const std::string totalText = text.substr(slash + 1);
    if (!first || !last || *first > *last) {
        return std::nullopt;
    }
    ContentRange range{*first, *last, std::nullopt};
    if (totalText != "*") {
        range.total = parseNumber(totalText, UINT64_MAX);
        if (!range.total || *range.total <= *last) {
            return std::nullopt;
        }
    }
    return range;
}

ResumeVerdict resumeVerdict(unsigned long status, const std::optional<std::string>& contentRange,
                            std::uint64_t have, const ResumeValidator& sent, const ResumeValidator& answered,
                            std::optional<std::uint64_t> expectedSize) {
    if (status != 206 || !contentRange) {
        return ResumeVerdict::StartOver;
    }
    const std::optional<ContentRange> range = parseContentRange(*contentRange);
    if (!range || range->first != have) {
        return ResumeVerdict::StartOver;
    }
    // The answer must name the very version the partial file came from.
    if (answered.ifRange() != sent.ifRange()) {
        return ResumeVerdict::StartOver;
    }
    if (expectedSize && (!range->total || *range->total != *expectedSize || range->last + 1 != *expectedSize)) {
        return ResumeVerdict::StartOver;
    }
    return ResumeVerdict::Append;
}

std::chrono::seconds downloadDeadline(const DownloadDeadline& rule, std::uint64_t sizeBound) {
    const std::uint64_t rate = std::max<std::uint64_t>(rule.bytesPerSecond, 1);
    return rule.base + std::chrono::seconds(static_cast<long long>(sizeBound / rate));
}

std::vector<ProxyRoute> fallbackRoutes(const UserProxySettings& user, bool machineDefaultIsDirect) {
    std::vector<ProxyRoute> routes;
    if (!user.proxy.empty()) {
        routes.push_back(ProxyRoute::UserFixed);
    }
    if (!user.scriptUrl.empty()) {
        routes.push_back(ProxyRoute::UserScript);
    }
    if (user.autoDetect) {
        routes.push_back(ProxyRoute::UserAutoDetect);
    }
    if (!machineDefaultIsDirect) {
        routes.push_back(ProxyRoute::Direct);
    }
    return routes;
}

std::string routeDescription(ProxyRoute route) {
    switch (route) {
    case ProxyRoute::MachineDefault:
        return "the machine's WinHTTP proxy setting";
    case ProxyRoute::UserFixed:
        return "the proxy of the user's Internet settings";
    case ProxyRoute::UserScript:
        return "the automatic-configuration script of the user's Internet settings";
    case ProxyRoute::UserAutoDetect:
        return "automatic proxy detection";
    case ProxyRoute::Direct:
        return "a direct connection";
    }
    return {};
}

std::string withoutCredentials(const std::string& proxy) {
    std::string result;
    std::size_t start = 0;
    while (start <= proxy.size()) {
        std::size_t end = proxy.find_first_of("; ", start);
        if (end == std::string::npos) {
            end = proxy.size();
        }
        std::string entry = proxy.substr(start, end - start);
        const std::size_t at = entry.rfind('@');
        if (at != std::string::npos) {
            const std::size_t scheme = entry.find("://");
            const std::size_t userStart = scheme == std::string::npos || scheme > at ? 0 : scheme + 3;
            const std::size_t equals = entry.find('=');
            const std::size_t keep = equals != std::string::npos && equals < at && userStart == 0 ? equals + 1
                                                                                                    : userStart;
            entry.erase(keep, at + 1 - keep);
        }
        result += entry;
        if (end < proxy.size()) {
            result += proxy[end];
        }
        start = end + 1;
    }
    return result;
}

bool answerProxyChallenge(bool offersIntegratedScheme, bool alreadyAnswered) {
    return offersIntegratedScheme && !alreadyAnswered;
}

} // namespace vesk::updater
