#include "transfer/http_download.h"

#include "core/handles_win.h"
#include "core/logger.h"
#include "core/run_folder.h"
#include "core/settings.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "transfer/download_progress.h"
#include "transfer/resilient_download_win.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <exception>

namespace vesk::updater {

namespace {

// Buffer sizes of the URL parser, NUL included: longer host names or paths are refused.
constexpr DWORD kHostNameChars = 256;
constexpr DWORD kUrlPathChars = 1024;
// The body goes to disk through this one buffer, so memory use does not grow with the download.
constexpr DWORD kReceiveBufferBytes = 8192;

} // namespace

std::optional<DownloadTarget> parseDownloadUrl(const std::wstring& url) {
    wchar_t host[kHostNameChars] = {};
    wchar_t path[kUrlPathChars] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostNameChars;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kUrlPathChars;
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        return std::nullopt;
    }
    DownloadTarget target;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    target.host.assign(host, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.path.assign(path, parts.dwUrlPathLength);
    return target;
}

namespace {

// Wine reports a WinHTTP time-out as the socket's WSAETIMEDOUT rather than ERROR_WINHTTP_TIMEOUT.
constexpr DWORD kSocketTimedOut = 10060;


int timeoutValue(std::chrono::milliseconds duration) {
    return static_cast<int>(std::clamp<long long>(duration.count(), 0, INT_MAX));
}

// The URL as the log shows it: back to UTF-8.
std::string narrowUrl(const std::wstring& url) {
    return narrow(url);
}

// Resolving keeps WinHTTP's default (no limit of its own); every other step gets the policy's bound.
bool applyTimeouts(HINTERNET handle, const TransferPolicy& policy) {
    return ::WinHttpSetTimeouts(handle, 0, timeoutValue(policy.connectTimeout),
                                timeoutValue(policy.sendTimeout),
                                timeoutValue(policy.receiveTimeout)) != FALSE;
}

// The Content-Length the server declared, when it declared a number (a value too large for 64 bits
// reads as the largest one).
std::optional<std::uint64_t> declaredLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text,
                               &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const std::size_t length = size / sizeof(wchar_t);
    if (length == 0) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return std::nullopt;
        }
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - L'0');
        if (value > (UINT64_MAX - digit) / 10) {
            return UINT64_MAX;
        }
        value = value * 10 + digit;
    }
    return value;
}

// The value of a response header, when the answer carries it.
std::optional<std::wstring> headerText(HINTERNET request, const wchar_t* name) {
    DWORD size = 0;
    ::WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, WINHTTP_NO_OUTPUT_BUFFER, &size,
                          WINHTTP_NO_HEADER_INDEX);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 4096) {
        return std::nullopt;
    }
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, value.data(), &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    value.resize(size / sizeof(wchar_t));
    return value;
}

std::optional<std::string> headerValue(HINTERNET request, const wchar_t* name) {
    const std::optional<std::wstring> text = headerText(request, name);
    if (!text) {
        return std::nullopt;
    }
    return narrowUrl(*text);
}

// What a later ranged request may name to be sure it continues the same file.
ResumeValidator validatorOf(HINTERNET request) {
    ResumeValidator validator;
    const std::optional<std::string> etag = headerValue(request, L"ETag");
    if (etag && etag->size() >= 2 && etag->front() == '"') {
        validator.etag = *etag; // a weak tag ("W/...") cannot be used with If-Range
    }
    validator.lastModified = headerValue(request, L"Last-Modified").value_or("");
    // The value goes back to the server in a header line of its own: nothing that could end that line or
    // start another one, and nothing longer than a real validator.
    for (std::string* value : {&validator.etag, &validator.lastModified}) {
        if (value->size() > 256 || printableText(*value) != *value) {
            value->clear();
        }
    }
    return validator;
}

DWORD statusOf(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        status = 0;
    }
    return status;
}

// Hands the logged-on user's credentials to a proxy that offers a scheme able to carry them; no prompt
// and no stored password is ever involved.
bool setIntegratedProxyCredentials(HINTERNET request) {
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!::WinHttpQueryAuthSchemes(request, &supported, &first, &target) ||
        target != WINHTTP_AUTH_TARGET_PROXY) {
        return false;
    }
    const DWORD scheme = (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                         : (supported & WINHTTP_AUTH_SCHEME_NTLM)    ? WINHTTP_AUTH_SCHEME_NTLM
                                                                     : 0;
    if (!answerProxyChallenge(scheme != 0, false)) {
        return false;
    }
    return ::WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) !=
           FALSE;
}

struct RedirectWatch {
    std::wstring target;
};

void CALLBACK onRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD) {
    if (status == WINHTTP_CALLBACK_STATUS_REDIRECT && context && information) {
        const auto* text = static_cast<const wchar_t*>(information);
        reinterpret_cast<RedirectWatch*>(context)->target.assign(text, ::wcsnlen(text, 4096));
    }
}

} // namespace

AttemptOutcome attemptDownload(const AttemptRequest& attempt) {
    AttemptOutcome outcome;
    const std::wstring& url = attempt.url;
    const std::string& filePath = attempt.filePath;
    const SizeLimit& limit = attempt.limit;
    const TransferPolicy& policy = attempt.policy;
    const DownloadTarget* target = &attempt.target;
    auto failWith = [&](AttemptFailure failure) {
        outcome.judged.failure = failure;
        return outcome;
    };

    // Declared in opening order, so they close in the reverse: request, connection, client.
    const bool named = attempt.route.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    InternetHandle session(::WinHttpOpen(attempt.userAgent.c_str(), attempt.route.accessType,
                                         named ? attempt.route.proxy.c_str() : WINHTTP_NO_PROXY_NAME,
                                         named && !attempt.route.bypass.empty() ? attempt.route.bypass.c_str()
                                                                                : WINHTTP_NO_PROXY_BYPASS,
                                         0));
    if (!session || !applyTimeouts(session.get(), policy)) {
        return failWith(AttemptFailure::Rejected);
    }
    InternetHandle connection(::WinHttpConnect(session.get(), target->host.c_str(), target->port, 0));
    if (!connection) {
        return failWith(AttemptFailure::Refused);
    }
    InternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET", target->path.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                target->secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request || !applyTimeouts(request.get(), policy)) {
        return failWith(AttemptFailure::Rejected);
    }
    // Under Wine only this option bounds the wait for the response headers; on Windows the receive
    // time-out above already does.
    DWORD responseTimeout = static_cast<DWORD>(timeoutValue(policy.receiveTimeout));
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                            sizeof(responseTimeout))) {
        return failWith(AttemptFailure::Rejected);
    }
    // Told where a redirect leads, so that a failure there is put down to the right server.
    RedirectWatch redirect;
    RedirectWatch* context = &redirect;
    ::WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
    ::WinHttpSetStatusCallback(request.get(), onRequestStatus, WINHTTP_CALLBACK_FLAG_REDIRECT, 0);
    if (attempt.answerProxyChallenge) {
        // Lets WinHTTP send the logged-on user's credentials to a proxy without asking anyone.
        DWORD policyLow = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
        ::WinHttpSetOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &policyLow, sizeof(policyLow));
    }
    std::wstring extraHeaders;
    if (attempt.resumeFrom) {
        extraHeaders = widenUrl("Range: " + rangeHeader(*attempt.resumeFrom) + "\r\nIf-Range: " +
                                attempt.resumeValidator.ifRange() + "\r\n");
    }
    auto send = [&] {
        return ::WinHttpSendRequest(request.get(),
                                    extraHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : extraHeaders.c_str(),
                                    extraHeaders.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA,
                                    0, 0, 0) &&
               ::WinHttpReceiveResponse(request.get(), nullptr);
    };
    bool sent = send();
    if (sent && attempt.answerProxyChallenge && statusOf(request.get()) == 407 &&
        setIntegratedProxyCredentials(request.get())) {
        sent = send(); // once: a second 407 stands as the answer
    }
    if (!sent) {
        // Nothing has touched the target file yet: an older file there stays as it was.
        const DWORD error = ::GetLastError();
        if (error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut) {
            logger().error(timedOutMessage(narrowUrl(url)));
        }
        // After a redirect to another server, that server is the one that failed.
        if (redirect.target.rfind(L"http", 0) == 0) {
            outcome.failedUrl = narrowUrl(redirect.target);
        }
        return failWith(classifyRequestError(error));
    }
    const DWORD status = statusOf(request.get());
    outcome.judged.status = status;
    outcome.judged.retryAfter = headerValue(request.get(), L"Retry-After");
    outcome.challenged = status == 407 && attempt.route.route != ProxyRoute::Direct;
    outcome.answered = !outcome.challenged;
    outcome.validator = validatorOf(request.get());
    if (outcome.challenged && attempt.answerProxyChallenge) {
        // The proxy turned the logged-on user away (or offered only schemes that need a password): this way
        // through the network is closed, and its 407 page is nobody's document.
        return failWith(AttemptFailure::Refused);
    }
    const bool transient = isTransientStatus(status);
    if (policy.strict && !isSuccessStatus(status)) {
        logger().error(statusFailedMessage(status, narrowUrl(url)));
        return failWith(AttemptFailure::Status);
    }
    // A ranged request's body is only of use when it continues exactly what the partial file holds;
    // anything else (the whole file, another version) is written from the start.
    bool append = false;
    if (attempt.resumeFrom && isSuccessStatus(status)) {
        append = resumeVerdict(status, headerValue(request.get(), L"Content-Range"), *attempt.resumeFrom,
                               attempt.resumeValidator, outcome.validator,
                               limit.isExpectedSize ? std::optional<std::uint64_t>(limit.bytes) : std::nullopt) ==
                 ResumeVerdict::Append;
        if (!append && status != 200) {
            return failWith(AttemptFailure::Broken); // a range of something else: ask again without one
        }
    }
    const std::uint64_t offset = append ? *attempt.resumeFrom : 0;
    const std::optional<std::uint64_t> declared = declaredLength(request.get());
    std::optional<std::uint64_t> promised;
    if (declared) {
        promised = *declared > UINT64_MAX - offset ? UINT64_MAX : *declared + offset;
    }
    if (promised && *promised > limit.bytes) {
        logger().error(sizeExceededMessage(limit, narrowUrl(url)));
        return failWith(AttemptFailure::Rejected);
    }

    FileHandle file(::CreateFileW(pathForWindows(filePath).c_str(), GENERIC_WRITE, 0, nullptr,
                                  append ? OPEN_EXISTING : CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return failWith(AttemptFailure::Rejected);
    }
    outcome.fileTouched = true;
    if (append) {
        LARGE_INTEGER size{};
        LARGE_INTEGER end{};
        // The partial file must be exactly what the range continues.
        if (!::GetFileSizeEx(file.get(), &size) || static_cast<std::uint64_t>(size.QuadPart) != offset ||
            !::SetFilePointerEx(file.get(), LARGE_INTEGER{}, &end, FILE_END)) {
            return failWith(AttemptFailure::Broken);
        }
        outcome.resumed = true;
    }
    // Outside strict mode the status code is not looked at: whatever body arrives is the document, and the
    // callers' size and hash checks catch an error page. A connection that breaks mid-body ends the loop
    // and keeps what came.
    auto fail = [&](const std::string& message, AttemptFailure failure) {
        logger().error(message);
        return failWith(failure);
    };
    LowSpeedMonitor speed(policy.minimumBytes, policy.lowSpeedWindow, std::chrono::steady_clock::now());
    std::uint64_t total = offset;
    outcome.fileBytes = total;
    char buffer[kReceiveBufferBytes];
    for (;;) {
        // Asking what has arrived first makes each read return as soon as there is something: a read of a
        // whole buffer would wait for it to fill, and a trickling server would never be judged.
        DWORD available = 0;
        DWORD received = 0;
        if (!::WinHttpQueryDataAvailable(request.get(), &available) ||
            (available > 0 && !::WinHttpReadData(request.get(), buffer,
                                                 std::min<DWORD>(available, sizeof(buffer)), &received))) {
            const DWORD error = ::GetLastError();
            // A body that stalled for a whole receive time-out counts as a server that timed out: asking it
            // again would only cost the same wait again.
            const bool timedOut = error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut;
            const AttemptFailure failure = timedOut ? AttemptFailure::TimedOut : AttemptFailure::Broken;
            if (policy.strict) {
                logger().error(timedOut ? timedOutMessage(narrowUrl(url)) : interruptedMessage(narrowUrl(url)));
                return failWith(failure);
            }
            outcome.ok = true;
            outcome.judged.failure = failure;
            return outcome;
        }
        if (received == 0) {
            break;
        }
        // Checked before writing, so the file never holds more than the limit.
        if (received > limit.bytes - total) {
            return fail(sizeExceededMessage(limit, narrowUrl(url)), AttemptFailure::Rejected);
        }
        DWORD written = 0;
        if (!::WriteFile(file.get(), buffer, received, &written, nullptr) || written != received) {
            // A file that could not be filled (a full disk, say) is not a successful download, and its
            // partial content must not stay behind to be taken for one.
            outcome.fileBytes = 0;
            return failWith(AttemptFailure::Rejected);
        }
        total += received;
        outcome.fileBytes = total;
        if (policy.strict && !speed.progress(received, std::chrono::steady_clock::now())) {
            return fail(tooSlowMessage(policy, narrowUrl(url)), AttemptFailure::Rejected);
        }
        if (attempt.deadline && std::chrono::steady_clock::now() > *attempt.deadline) {
            return fail(deadlineMessage(attempt.deadlineLength, narrowUrl(url)), AttemptFailure::Rejected);
        }
        reportDownloadProgress(total, promised);
    }
    if (promised && total != *promised) {
        if (policy.strict) {
            return fail(interruptedMessage(narrowUrl(url)), AttemptFailure::Broken);
        }
        outcome.ok = true;
        outcome.judged.failure = AttemptFailure::Broken;
        return outcome;
    }
    outcome.ok = true;
    // Outside strict mode a "not now" answer is still the document of this attempt; the retry rules
    // decide whether another attempt may bring the real one.
    outcome.judged.failure = transient || outcome.challenged ? AttemptFailure::Status : AttemptFailure::None;
    return outcome;
}

namespace {

// knownHash null: ask getOwnExecutableHash, and only once the URL has parsed.
bool download(const std::wstring& url, const std::string& filePath, const std::string* knownHash,
              const SizeLimit& limit, const TransferPolicy& policy) {
    const std::optional<DownloadTarget> target = parseDownloadUrl(url);
    if (!target) {
        return false;
    }
    AttemptRequest first;
    first.url = url;
    first.target = *target;
    first.userAgent = widenUrl(downloadUserAgent(knownHash ? *knownHash : getOwnExecutableHash()));
    first.filePath = filePath;
    first.limit = limit;
    first.policy = policy;
    return resilientDownload(first, policy.run ? *policy.run : networkRun());
}

} // namespace

bool downloadToFile(const std::wstring& url, const std::string& filePath) {
    return download(url, filePath, nullptr, SizeLimit::ceiling(), TransferPolicy::forThisProgram());
}

bool downloadToFile(const std::wstring& url, const std::string& filePath, const std::string& ownHash) {
    return download(url, filePath, &ownHash, SizeLimit::ceiling(), TransferPolicy::forThisProgram());
}

bool downloadToFile(const std::wstring& url, const std::string& filePath, const SizeLimit& limit,
                    const TransferPolicy& policy) {
    return download(url, filePath, nullptr, limit, policy);
}

std::string downloadToString(const std::string& url) {
    return downloadToString(url, SizeLimit::ceiling(kTextSizeCeiling), TransferPolicy::forThisProgram());
}

std::string downloadToString(const std::string& url, const SizeLimit& limit, const TransferPolicy& policy) {
    const std::string tempFolder = runTemporaryFolder();
    unsigned long error = 0;
    const std::optional<std::string> tempFile = createTemporaryFile(tempFolder, "vesk", error);
    if (!tempFile) {
        // Without a place to download to nothing can be fetched; the log says why, not only that it failed.
        logger().error(temporaryFileFailedMessage(tempFolder, error));
        return {};
    }
    // The temporary file goes on every way out, an exception included.
    struct TemporaryFile {
        std::wstring path;
        ~TemporaryFile() { ::DeleteFileW(path.c_str()); }
    } temporary{pathForWindows(*tempFile)};

    if (!downloadToFile(widenUrl(url), *tempFile, limit, policy)) {
        return {};
    }
    FileHandle file(::CreateFileW(temporary.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER length{};
    if (!file || !::GetFileSizeEx(file.get(), &length) ||
        static_cast<std::uint64_t>(length.QuadPart) > limit.bytes) {
        return {};
    }
    // The download kept the file within the limit; reserving its exact size means the string never
    // grows (and never doubles its capacity) while it is filled.
    const auto size = static_cast<std::size_t>(length.QuadPart);
    std::string body;
    try {
        body.reserve(size);
        char buffer[kReceiveBufferBytes];
        DWORD count = 0;
        while (body.size() < size && ::ReadFile(file.get(), buffer, sizeof(buffer), &count, nullptr) &&
               count > 0) {
            body.append(buffer, std::min<std::size_t>(count, size - body.size()));
        }
    } catch (const std::exception&) {
        return {}; // a body too large to hold in memory is a failed download, not a crash of the caller
    }
    return body;
}

bool HttpDownloader::downloadToFile(const std::wstring& url, const std::string& filePath) {
    return vesk::updater::downloadToFile(url, filePath);
}

std::string HttpDownloader::downloadToString(const std::string& url) {
    return vesk::updater::downloadToString(url);
}

bool HttpDownloader::downloadToFile(const std::wstring& url, const std::string& filePath,
                                    const SizeLimit& limit, const TransferPolicy& policy) {
    return vesk::updater::downloadToFile(url, filePath, limit, policy);
}

std::string HttpDownloader::downloadToString(const std::string& url, const SizeLimit& limit,
                                             const TransferPolicy& policy) {
    return vesk::updater::downloadToString(url, limit, policy);
}

} // namespace vesk::updater
