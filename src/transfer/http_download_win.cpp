#include "transfer/http_download.h"

#include "core/handles_win.h"
#include "core/settings.h"

#include <exception>

namespace vesk::updater {

namespace {

// Buffer sizes of the URL parser, NUL included: longer host names or paths are refused.
constexpr DWORD kHostNameChars = 256;
constexpr DWORD kUrlPathChars = 1024;
// The body goes to disk through this one buffer, so memory use does not grow with the download.
constexpr DWORD kReceiveBufferBytes = 8192;
constexpr DWORD kTempPathChars = 260;

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

// knownHash null: ask getOwnExecutableHash, and only once the URL has parsed.
bool download(const std::wstring& url, const std::string& filePath, const std::string* knownHash) {
    const std::optional<DownloadTarget> target = parseDownloadUrl(url);
    if (!target) {
        return false;
    }
    const std::wstring userAgent =
        widenUrl(downloadUserAgent(knownHash ? *knownHash : getOwnExecutableHash()));

    // Declared in opening order, so they close in the reverse: request, connection, client.
    InternetHandle session(::WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return false;
    }
    InternetHandle connection(::WinHttpConnect(session.get(), target->host.c_str(), target->port, 0));
    if (!connection) {
        return false;
    }
    InternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET", target->path.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                target->secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        return false;
    }
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                              0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        // Nothing has touched the target file yet: an older file there stays as it was.
        return false;
    }

    FileHandle file(::CreateFileA(filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    // The status code is not looked at: whatever body arrives is the document, and the callers' size and
    // hash checks catch an error page. A connection that breaks mid-body ends the loop and keeps what came.
    char buffer[kReceiveBufferBytes];
    for (;;) {
        DWORD received = 0;
        if (!::WinHttpReadData(request.get(), buffer, sizeof(buffer), &received) || received == 0) {
            break;
        }
        DWORD written = 0;
        if (!::WriteFile(file.get(), buffer, received, &written, nullptr) || written != received) {
            // A file that could not be filled (a full disk, say) is not a successful download.
            return false;
        }
    }
    file.reset();
    return true;
}

} // namespace

bool downloadToFile(const std::wstring& url, const std::string& filePath) {
    return download(url, filePath, nullptr);
}

bool downloadToFile(const std::wstring& url, const std::string& filePath, const std::string& ownHash) {
    return download(url, filePath, &ownHash);
}

std::string downloadToString(const std::string& url) {
    char tempFolder[kTempPathChars] = {};
    const DWORD folderLength = ::GetTempPathA(kTempPathChars, tempFolder);
    if (folderLength == 0 || folderLength >= kTempPathChars) {
        return {}; // no usable temporary folder (a longer one would have been cut short)
    }
    char tempFile[MAX_PATH] = {};
    if (::GetTempFileNameA(tempFolder, "vesk", 0, tempFile) == 0) {
        return {};
    }
    // The temporary file goes on every way out, an exception included.
    struct TemporaryFile {
        const char* path;
        ~TemporaryFile() { ::DeleteFileA(path); }
    } temporary{tempFile};

    std::string body;
    if (downloadToFile(widenUrl(url), tempFile)) {
        FileHandle file(::CreateFileA(tempFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            // A body too large to hold in memory is a failed download, not a crash of the caller.
            try {
                char buffer[kReceiveBufferBytes];
                DWORD count = 0;
                while (::ReadFile(file.get(), buffer, sizeof(buffer), &count, nullptr) && count > 0) {
                    body.append(buffer, count);
                }
            } catch (const std::exception&) {
                return {};
            }
        }
    }
    return body;
}

bool HttpDownloader::downloadToFile(const std::wstring& url, const std::string& filePath) {
    return vesk::updater::downloadToFile(url, filePath);
}

std::string HttpDownloader::downloadToString(const std::string& url) {
    return vesk::updater::downloadToString(url);
}

} // namespace vesk::updater
