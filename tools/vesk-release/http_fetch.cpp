#include "http_fetch.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vesk::release {

namespace {

struct ParsedUrl {
    std::string host; // without brackets
    std::string port = "80";
    std::string path = "/";
    std::string hostHeader;
};

bool parseHttpUrl(const std::string& url, ParsedUrl& parsed) {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
        return false;
    }
    const size_t authorityEnd = url.find_first_of("/?#", scheme.size());
    const std::string authority = url.substr(scheme.size(), authorityEnd - scheme.size());
    if (authorityEnd != std::string::npos) {
        parsed.path = url.substr(authorityEnd);
        if (parsed.path[0] != '/') {
            parsed.path = "/" + parsed.path;
        }
        const size_t fragment = parsed.path.find('#');
        if (fragment != std::string::npos) {
            parsed.path.resize(fragment);
        }
    }
    if (authority.empty() || authority.find('@') != std::string::npos) {
        return false;
    }
    parsed.hostHeader = authority;
    if (authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            return false;
        }
        parsed.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                return false;
            }
            parsed.port = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.find(':');
        parsed.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            parsed.port = authority.substr(colon + 1);
        }
    }
    if (parsed.port.empty() || parsed.port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    return !parsed.host.empty();
}

bool isLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1") {
        return true;
    }
    // 127.a.b.c written as four decimal numbers
    if (host.compare(0, 4, "127.") != 0) {
        return false;
    }
    int parts = 0;
    size_t start = 0;
    while (start <= host.size()) {
        const size_t dot = host.find('.', start);
        const std::string piece =
            host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (piece.empty() || piece.size() > 3 || piece.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(piece) > 255) {
            return false;
        }
        ++parts;
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return parts == 4;
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

} // namespace

bool isLoopbackHttpUrl(const std::string& url) {
    ParsedUrl parsed;
    return parseHttpUrl(url, parsed) && isLoopbackHost(parsed.host);
}

bool httpGet(const std::string& url, const std::function<bool(const char*, size_t)>& consume, int& status,
             std::string& error) {
    ParsedUrl parsed;
    if (!parseHttpUrl(url, parsed)) {
        error = url + ": not an http:// URL this tool can read";
        return false;
    }
    if (!isLoopbackHost(parsed.host)) {
        error = url + ": only loopback servers (127.0.0.1, localhost, [::1]) are read";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(parsed.host.c_str(), parsed.port.c_str(), &hints, &found);
    if (lookup != 0) {
        error = url + ": " + ::gai_strerror(lookup);
        return false;
    }
    int fd = -1;
    int connectErrno = 0;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        timeval timeout{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            connectErrno = errno;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        error = url + ": cannot connect (" + std::strerror(connectErrno) + ")";
        return false;
    }
    Socket socket(fd);
    const std::string request = "GET " + parsed.path + " HTTP/1.0\r\nHost: " + parsed.hostHeader +
                                "\r\nUser-Agent: Downloader/1.0\r\nConnection: close\r\n\r\n";
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            error = url + ": cannot send the request (" + std::strerror(errno) + ")";
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    std::string head;
    bool inBody = false;
    long long expected = -1;
    long long received = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error =
                url + ": " + (errno == EAGAIN || errno == EWOULDBLOCK ? "timed out" : std::strerror(errno));
            return false;
        }
        if (n == 0) {
            break;
        }
        const char* data = buffer;
        size_t size = static_cast<size_t>(n);
        if (!inBody) {
            head.append(data, size);
            const size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (head.size() > (1 << 20)) {
                    error = url + ": response headers too long";
                    return false;
                }
                continue;
            }
            const std::string headers = head.substr(0, end + 2);
            const std::string rest = head.substr(end + 4);
            if (headers.compare(0, 5, "HTTP/") != 0 || headers.find(' ') == std::string::npos) {
                error = url + ": not an HTTP response";
                return false;
            }
            status = std::atoi(headers.c_str() + headers.find(' ') + 1);
            const std::string lowered = lower(headers);
            if (lowered.find("\r\ntransfer-encoding: chunked") != std::string::npos) {
                error = url + ": chunked responses are not supported";
                return false;
            }
            const size_t length = lowered.find("\r\ncontent-length:");
            if (length != std::string::npos) {
                expected = std::atoll(headers.c_str() + length + 17);
            }
            inBody = true;
            if (!rest.empty()) {
                received += static_cast<long long>(rest.size());
                if (!consume(rest.data(), rest.size())) {
                    error = url + ": response refused";
                    return false;
                }
            }
            continue;
        }
        received += static_cast<long long>(size);
        if (!consume(data, size)) {
            error = url + ": response refused";
            return false;
        }
    }
    if (!inBody) {
        error = url + ": the connection closed before a complete response";
        return false;
    }
    if (expected >= 0 && received < expected) {
        error = url + ": the body ended after " + std::to_string(received) + " of " +
                std::to_string(expected) + " bytes";
        return false;
    }
    return true;
}

bool httpGetText(const std::string& url, std::string& body, int& status, std::string& error,
                 size_t maxBytes) {
    body.clear();
    bool tooLarge = false;
    const bool ok = httpGet(
        url,
        [&](const char* data, size_t size) {
            if (body.size() + size > maxBytes) {
                tooLarge = true;
                return false;
            }
            body.append(data, size);
            return true;
        },
        status, error);
    if (tooLarge) {
        error = url + ": the response is larger than " + std::to_string(maxBytes) + " bytes";
    }
    return ok;
}

} // namespace vesk::release
