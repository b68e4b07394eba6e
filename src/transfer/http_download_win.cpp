#include "transfer/http_download.h"

#include "core/handles_win.h"
#include "core/logger.h"
#include "core/run_folder.h"
#include "core/settings.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "transfer/download_progress.h"

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

bool lastErrorIsTimeout() {
    const DWORD error = ::GetLastError();
    return error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut;
}

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

// knownHash null: ask getOwnExecutableHash, and only once the URL has parsed.
bool download(const std::wstring& url, const std::string& filePath, const std::string* knownHash,
              const SizeLimit& limit, const TransferPolicy& policy) {
    const std::optional<DownloadTarget> target = parseDownloadUrl(url);
    if (!target) {
        return false;
    }
    const std::wstring userAgent =
        widenUrl(downloadUserAgent(knownHash ? *knownHash : getOwnExecutableHash()));

    // Declared in opening order, so they close in the reverse: request, connection, client.
    InternetHandle session(::WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session || !applyTimeouts(session.get(), policy)) {
        return false;
    }
    InternetHandle connection(::WinHttpConnect(session.get(), target->host.c_str(), target->port, 0));
    if (!connection) {
        return false;
    }
    InternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET", target->path.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                target->secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request || !applyTimeouts(request.get(), policy)) {
        return false;
    }
    // Under Wine only this option bounds the wait for the response headers; on Windows the receive
    // time-out above already does.
    DWORD responseTimeout = static_cast<DWORD>(timeoutValue(policy.receiveTimeout));
    if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                            sizeof(responseTimeout))) {
        return false;
    }
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                              0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        // Nothing has touched the target file yet: an older file there stays as it was.
        if (lastErrorIsTimeout()) {
            logger().error(timedOutMessage(narrowUrl(url)));
        }
        return false;
    }
    if (policy.strict) {
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            status = 0;
        }
        if (!isSuccessStatus(status)) {
            logger().error(statusFailedMessage(status, narrowUrl(url)));
            return false;
        }
    }
    const std::optional<std::uint64_t> promised = declaredLength(request.get());
    if (promised && *promised > limit.bytes) {
        logger().error(sizeExceededMessage(limit, narrowUrl(url)));
        return false;
    }

    FileHandle file(::CreateFileW(pathForWindows(filePath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    // What arrived so far is no use to anyone once the download has failed.
    auto fail = [&](const std::string& message) {
        logger().error(message);
        file.reset();
        ::DeleteFileW(pathForWindows(filePath).c_str());
        return false;
    };
    // Outside strict mode the status code is not looked at: whatever body arrives is the document, and the
    // callers' size and hash checks catch an error page. A connection that breaks mid-body ends the loop
    // and keeps what came.
    LowSpeedMonitor speed(policy.minimumBytes, policy.lowSpeedWindow, std::chrono::steady_clock::now());
    std::uint64_t total = 0;
    char buffer[kReceiveBufferBytes];
    for (;;) {
        // Asking what has arrived first makes each read return as soon as there is something: a read of a
        // whole buffer would wait for it to fill, and a trickling server would never be judged.
        DWORD available = 0;
        DWORD received = 0;
        if (!::WinHttpQueryDataAvailable(request.get(), &available) ||
            (available > 0 && !::WinHttpReadData(request.get(), buffer,
                                                 std::min<DWORD>(available, sizeof(buffer)), &received))) {
            if (policy.strict) {
                const bool timedOut = lastErrorIsTimeout();
                return fail(timedOut ? timedOutMessage(narrowUrl(url)) : interruptedMessage(narrowUrl(url)));
            }
            break;
        }
        if (received == 0) {
            break;
        }
        // Checked before writing, so the file never holds more than the limit.
        if (received > limit.bytes - total) {
            return fail(sizeExceededMessage(limit, narrowUrl(url)));
        }
        total += received;
        DWORD written = 0;
        if (!::WriteFile(file.get(), buffer, received, &written, nullptr) || written != received) {
            // A file that could not be filled (a full disk, say) is not a successful download, and its
            // partial content must not stay behind to be taken for one.
            file.reset();
            ::DeleteFileW(pathForWindows(filePath).c_str());
            return false;
        }
        if (policy.strict && !speed.progress(received, std::chrono::steady_clock::now())) {
            return fail(tooSlowMessage(policy, narrowUrl(url)));
        }
        reportDownloadProgress(total, promised);
    }
    if (policy.strict && promised && total != *promised) {
        return fail(interruptedMessage(narrowUrl(url)));
    }
    file.reset();
    return true;
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
