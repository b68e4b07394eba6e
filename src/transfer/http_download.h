#pragma once

#include "transfer/transfer_policy.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vesk::updater {

// Fetches url with a GET into filePath under the program's own policy and the fixed size ceiling. True
// when a response arrived and the file was created and filled; outside strict mode the response status
// is not examined.
bool downloadToFile(const std::wstring& url, const std::string& filePath);

// downloadToFile sending the given own-executable hash in the user agent ("" sends none) instead of
// asking getOwnExecutableHash; the seam for the case where the running executable cannot be hashed.
bool downloadToFile(const std::wstring& url, const std::string& filePath, const std::string& ownHash);

// downloadToFile under a size limit and a transfer policy. A body that would pass the limit (or declares
// a length beyond it) fails at once and its file is removed; so does whatever strict mode refuses. These
// failures, and a time-out, are logged as one ERROR line naming the URL.
bool downloadToFile(const std::wstring& url, const std::string& filePath, const SizeLimit& limit,
                    const TransferPolicy& policy);

// Fetches url with a GET and returns the body; "" means failure or an empty body. The body is limited
// to kTextSizeCeiling bytes under the program's own policy.
std::string downloadToString(const std::string& url);

// downloadToString under the given limit and policy; "" when the body would pass the limit.
std::string downloadToString(const std::string& url, const SizeLimit& limit, const TransferPolicy& policy);

// The two downloads under the name the rest of the program knows them by: one GET, no retries, no logging.
class HttpDownloader {
public:
    static bool downloadToFile(const std::wstring& url, const std::string& filePath);
    static std::string downloadToString(const std::string& url);
    static bool downloadToFile(const std::wstring& url, const std::string& filePath, const SizeLimit& limit,
                               const TransferPolicy& policy);
    static std::string downloadToString(const std::string& url, const SizeLimit& limit,
                                        const TransferPolicy& policy);
};

// "Downloader/1.0", followed by " (hash:" + ownHash + ")" when ownHash is not empty.
std::string downloadUserAgent(const std::string& ownHash);

// A URL as WinHTTP takes it: UTF-8 to UTF-16, like all text (an ASCII URL is unchanged either way).
std::wstring widenUrl(const std::string& url);

// The parts of a URL a download uses.
struct DownloadTarget {
    bool secure = false; // https: the request is sent over TLS
    std::wstring host;
    std::uint16_t port = 0;
    std::wstring path;
};

// Splits url as the download does (host of at most 255 and path of at most 1023 characters); nothing
// when the URL cannot be parsed within those limits.
std::optional<DownloadTarget> parseDownloadUrl(const std::wstring& url);

} // namespace vesk::updater
