#include "support/http_test_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <stdexcept>
#include <tuple>

namespace vesk::test {

namespace {

// How long one connection may stay silent before the server gives up on it; keeps every wait bounded.
constexpr DWORD kSocketTimeoutMs = 10000;
// A request head larger than this is not something the program sends; treat it as malformed.
constexpr std::size_t kMaxRequestHead = 64 * 1024;

std::string reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 206:
        return "Partial Content";
    case 407:
        return "Proxy Authentication Required";
    case 429:
        return "Too Many Requests";
    case 502:
        return "Bad Gateway";
    case 504:
        return "Gateway Timeout";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Parses "METHOD SP target SP HTTP/x.y" followed by header lines; false when the head is not HTTP.
bool parseRequestHead(const std::string& head, RecordedRequest& request) {
    const std::size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const std::size_t firstSpace = line.find(' ');
    const std::size_t lastSpace = line.rfind(' ');
    if (firstSpace == std::string::npos || lastSpace == firstSpace ||
        line.compare(lastSpace + 1, 5, "HTTP/") != 0) {
        return false;
    }
    request.method = line.substr(0, firstSpace);
    request.path = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    std::size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
        std::size_t end = head.find("\r\n", position);
        if (end == std::string::npos) {
            end = head.size();
        }
        const std::string headerLine = head.substr(position, end - position);
        position = end + 2;
        if (headerLine.empty()) {
            break;
        }
        const std::size_t colon = headerLine.find(':');
        if (colon == std::string::npos) {
            return false;
        }
        request.headers.emplace_back(headerLine.substr(0, colon), trimmed(headerLine.substr(colon + 1)));
    }
    request.userAgent = request.header("User-Agent");
    return true;
}

bool sendAll(SOCKET socket, const char* data, std::size_t size) {
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 64 * 1024));
        const int sent = ::send(socket, data, chunk, 0);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

} // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [headerName, value] : headers) {
        if (equalsIgnoreCase(headerName, name)) {
            return value;
        }
    }
    return std::nullopt;
}

struct HttpTestServer::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::map<std::string, ScriptedResponse> scripts;
    std::map<std::string, std::vector<ScriptedResponse>> turns;
    std::map<std::string, std::size_t> turnsTaken;
    std::function<void(const RecordedRequest&, ScriptedResponse&)> injector;
    std::optional<ProxyMode> proxy;
    std::vector<RecordedRequest> requests;
    std::uint64_t requestCount = 0;
    std::vector<std::string> malformed;
    std::set<SOCKET> openSockets;
    std::vector<std::thread> workers;
    SOCKET listener = INVALID_SOCKET;
    HANDLE stopEvent = nullptr;   // manual reset: set once by stop()
    HANDLE acceptEvent = nullptr; // signalled by Winsock when a connection waits
    bool winsockStarted = false;

    ~State() {
        if (listener != INVALID_SOCKET) {
            ::closesocket(listener);
        }
        if (acceptEvent) {
            ::CloseHandle(acceptEvent);
        }
        if (stopEvent) {
            ::CloseHandle(stopEvent);
        }
        if (winsockStarted) {
            ::WSACleanup();
        }
    }
};

HttpTestServer::HttpTestServer() : HttpTestServer(0) {}

HttpTestServer::HttpTestServer(std::uint16_t fixedPort) : state_(std::make_shared<State>()) {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("HttpTestServer: WSAStartup failed");
    }
    state_->winsockStarted = true;
    state_->stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state_->acceptEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!state_->stopEvent || !state_->acceptEvent) {
        throw std::runtime_error("HttpTestServer: CreateEvent failed");
    }

    state_->listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (state_->listener == INVALID_SOCKET) {
        throw std::runtime_error("HttpTestServer: socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(fixedPort); // normally 0, ephemeral: other test runs share this machine
    if (::bind(state_->listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(state_->listener, SOMAXCONN) != 0) {
        throw std::runtime_error("HttpTestServer: cannot listen on 127.0.0.1");
    }
    int length = sizeof(address);
    if (::getsockname(state_->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("HttpTestServer: getsockname failed");
    }
    port_ = ntohs(address.sin_port);
    if (::WSAEventSelect(state_->listener, state_->acceptEvent, FD_ACCEPT) != 0) {
        throw std::runtime_error("HttpTestServer: WSAEventSelect failed");
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    stop();
}

std::string HttpTestServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::wstring HttpTestServer::wideUrl(const std::string& path) const {
    const std::string narrow = url(path);
    return std::wstring(narrow.begin(), narrow.end());
}

void HttpTestServer::respond(const std::string& path, ScriptedResponse response) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->scripts[path] = std::move(response);
}

void HttpTestServer::respond(const std::string& path, int status, std::string body) {
    ScriptedResponse response;
    response.status = status;
    response.body = std::move(body);
    respond(path, std::move(response));
}

void HttpTestServer::respondInTurn(const std::string& path, std::vector<ScriptedResponse> responses) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->turnsTaken[path] = 0;
    state_->turns[path] = std::move(responses);
}

void HttpTestServer::setFaultInjector(std::function<void(const RecordedRequest&, ScriptedResponse&)> injector) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->injector = std::move(injector);
}

void HttpTestServer::enableProxy(ProxyMode mode) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->proxy = mode;
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->requests;
}

std::vector<std::string> HttpTestServer::requestedPaths() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<std::string> paths;
    for (const RecordedRequest& request : state_->requests) {
        paths.push_back(request.path);
    }
    return paths;
}

std::vector<RecordedRequest> HttpTestServer::unexpectedRequests() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<RecordedRequest> result;
    for (const RecordedRequest& request : state_->requests) {
        if (!request.scripted) {
            result.push_back(request);
        }
    }
    return result;
}

std::vector<std::string> HttpTestServer::malformedConnections() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->malformed;
}

bool HttpTestServer::waitForFinishedResponses(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] {
        return std::all_of(state_->requests.begin(), state_->requests.end(),
                           [](const RecordedRequest& request) { return request.finished; });
    });
}

bool HttpTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->requests.size() >= count; });
}

void HttpTestServer::clearRecord() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->requests.clear();
    state_->malformed.clear();
}

void HttpTestServer::stop() {
    if (!acceptThread_.joinable()) {
        return;
    }
    ::SetEvent(state_->stopEvent);
    acceptThread_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        // Wakes workers blocked in recv or send; a worker in its delay wakes on the stop event.
        for (SOCKET socket : state_->openSockets) {
            ::shutdown(socket, SD_BOTH);
        }
        workers.swap(state_->workers);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    ::closesocket(state_->listener);
    state_->listener = INVALID_SOCKET;
}

void HttpTestServer::acceptLoop() {
    const HANDLE events[2] = {state_->stopEvent, state_->acceptEvent};
    for (;;) {
        const DWORD signalled = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (signalled != WAIT_OBJECT_0 + 1) {
            return; // stop requested (or the wait itself failed)
        }
        WSANETWORKEVENTS networkEvents;
        ::WSAEnumNetworkEvents(state_->listener, state_->acceptEvent, &networkEvents); // resets the event
        for (;;) {
            const SOCKET client = ::accept(state_->listener, nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                break; // nothing more waiting (the listener is non-blocking under WSAEventSelect)
            }
            // An accepted socket inherits the listener's event selection and non-blocking mode; undo both.
            ::WSAEventSelect(client, nullptr, 0);
            u_long blocking = 0;
            ::ioctlsocket(client, FIONBIO, &blocking);
            const DWORD timeout = kSocketTimeoutMs;
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                         sizeof(timeout));
            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                         sizeof(timeout));
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->openSockets.insert(client);
            state_->workers.emplace_back([this, client] { serveConnection(client); });
        }
    }
}

void HttpTestServer::serveConnection(std::uintptr_t rawSocket) {
    const SOCKET socket = static_cast<SOCKET>(rawSocket);
    const std::shared_ptr<State> state = state_;
    auto closeConnection = [&](bool graceful) {
        if (graceful) {
            // Send our FIN, then read until the client closes, so unread request bytes never turn the
            // close into a reset that could discard response bytes still in flight.
            ::shutdown(socket, SD_SEND);
            char scratch[1024];
            while (::recv(socket, scratch, sizeof(scratch), 0) > 0) {
            }
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        state->openSockets.erase(socket);
        ::closesocket(socket);
    };

    std::string head;
    char buffer[4096];
    bool complete = false;
    while (head.size() < kMaxRequestHead) {
        const int received = ::recv(socket, buffer, sizeof(buffer), 0);
        if (received <= 0) {
            break;
        }
        head.append(buffer, static_cast<std::size_t>(received));
        // Anything that does not start like a request method (a TLS handshake, say) is not HTTP; answer
        // nothing rather than wait for a blank line that will never come.
        if (!std::isupper(static_cast<unsigned char>(head[0]))) {
            break;
        }
        if (head.find("\r\n\r\n") != std::string::npos) {
            complete = true;
            break;
        }
    }

    RecordedRequest request;
    if (!complete || !parseRequestHead(head.substr(0, head.find("\r\n\r\n")), request)) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->malformed.push_back(head);
        }
        state->changed.notify_all();
        closeConnection(false);
        return;
    }

    std::optional<ProxyMode> proxy;
    std::function<void(const RecordedRequest&, ScriptedResponse&)> injector;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        proxy = state->proxy;
        injector = state->injector;
    }
    // Wine's WinHTTP sends a plain-http request to a proxy in origin form ("GET /path") with the origin in
    // Host; a Host other than this server's own address is therefore a request to pass on as well.
    const std::optional<std::string> host = request.header("Host");
    const std::string ownAddress = "127.0.0.1:" + std::to_string(port_);
    if (proxy && request.method != "CONNECT" && request.path.rfind("/", 0) == 0 && host && *host != ownAddress &&
        *host != "localhost:" + std::to_string(port_)) {
        request.path = "http://" + *host + request.path;
    }
    if (proxy && (request.method == "CONNECT" || request.path.rfind("http://", 0) == 0)) {
        serveAsProxy(socket, request, *proxy);
        closeConnection(true);
        return;
    }

    ScriptedResponse response;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        const auto script = state->scripts.find(request.path);
        const auto turns = state->turns.find(request.path);
        request.scripted = script != state->scripts.end() || turns != state->turns.end();
        if (turns != state->turns.end() && !turns->second.empty()) {
            std::size_t& taken = state->turnsTaken[request.path];
            response = turns->second[std::min(taken, turns->second.size() - 1)];
            ++taken;
        } else if (request.scripted) {
            response = script->second;
        } else {
            response.status = 404;
            response.body =
                "<html><body><h1>404 Not Found</h1>No response scripted for this path.</body></html>";
            response.headers = {{"Content-Type", "text/html"}};
        }
        request.id = ++state->requestCount;
        state->requests.push_back(request);
    }
    state->changed.notify_all();
    if (injector && request.scripted) {
        injector(request, response);
    }
    // A ranged request for a body that honours ranges gets the rest from the asked offset.
    std::string contentRange;
    if (response.honourRanges && response.status == 200) {
        const std::optional<std::string> range = request.header("Range");
        const std::optional<std::string> ifRange = request.header("If-Range");
        bool validatorMatches = !ifRange;
        for (const auto& [name, value] : response.headers) {
            if (ifRange && (equalsIgnoreCase(name, "ETag") || equalsIgnoreCase(name, "Last-Modified")) &&
                value == *ifRange) {
                validatorMatches = true;
            }
        }
        if (range && range->rfind("bytes=", 0) == 0 && range->back() == '-' && validatorMatches) {
            const std::uint64_t from = std::stoull("0" + range->substr(6, range->size() - 7));
            if (from < response.body.size()) {
                contentRange = "bytes " + std::to_string(from) + "-" + std::to_string(response.body.size() - 1) +
                               "/" + std::to_string(response.body.size());
                response.body.erase(0, static_cast<std::size_t>(from));
                response.status = 206;
                response.headers.emplace_back("Content-Range", contentRange);
            }
        }
    }
    // Updates this request's record (unless the test has cleared it meanwhile).
    auto record = [&](std::uint64_t bodyBytes, bool finished) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            for (RecordedRequest& recorded : state->requests) {
                if (recorded.id == request.id) {
                    recorded.bodyBytesSent += bodyBytes;
                    recorded.finished = recorded.finished || finished;
                    if (!response.dropWithoutResponse && !response.neverAnswer) {
                        recorded.status = response.status;
                    }
                }
            }
        }
        state->changed.notify_all();
    };

    const auto stopped = [&](DWORD waitMs) {
        return ::WaitForSingleObject(state->stopEvent, waitMs) == WAIT_OBJECT_0;
    };
    if (response.delay.count() > 0 && stopped(static_cast<DWORD>(response.delay.count()))) {
        closeConnection(false);
        record(0, true);
        return;
    }

    if (response.dropWithoutResponse) {
        closeConnection(false);
        record(0, true);
        return;
    }

    if (response.neverAnswer) {
        // Reads (and ignores) until the client closes; a receive time-out just means it is still there.
        for (;;) {
            const int received = ::recv(socket, buffer, sizeof(buffer), 0);
            if (received > 0 || (received < 0 && ::WSAGetLastError() == WSAETIMEDOUT && !stopped(0))) {
                continue;
            }
            break;
        }
        closeConnection(false);
        record(0, true);
        return;
    }

    std::string out =
        "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
    if (response.declaredLength) {
        out += "Content-Length: " + std::to_string(*response.declaredLength) + "\r\n";
    } else if (!response.endless) {
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    }
    out += "Connection: close\r\n";
    for (const auto& [name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
    }
    out += "\r\n";
    const std::size_t bodyBytes = response.cutAfterBytes
                                      ? std::min(*response.cutAfterBytes, response.body.size())
                                      : response.body.size();
    if (response.resetConnection) {
        out.append(response.body, 0, bodyBytes);
        const bool sent = sendAll(socket, out.data(), out.size());
        // A zero linger time makes the close a reset, as a crashed server or a middlebox would send.
        const linger abort{1, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
        closeConnection(false);
        record(sent ? bodyBytes : 0, true);
        return;
    }
    if (!response.endless && !response.trickleInterval) {
        out.append(response.body, 0, bodyBytes);
        const bool sent = sendAll(socket, out.data(), out.size());
        closeConnection(true);
        record(sent ? bodyBytes : 0, true);
        return;
    }

    // Streamed bodies: the pattern repeats when endless; a failed send means the client has gone.
    const std::string pattern = response.body.empty() ? std::string(64 * 1024, '\0') : response.body;
    bool clientStayed = sendAll(socket, out.data(), out.size());
    std::uint64_t sent = 0;
    std::size_t offset = 0;
    while (clientStayed && (response.endless || sent < bodyBytes)) {
        std::size_t length = std::min<std::size_t>(pattern.size() - offset, 64 * 1024);
        if (!response.endless) {
            length = static_cast<std::size_t>(std::min<std::uint64_t>(length, bodyBytes - sent));
        }
        if (response.trickleInterval) {
            if (stopped(static_cast<DWORD>(response.trickleInterval->count()))) {
                break;
            }
            length = std::min<std::size_t>(length, std::max<std::size_t>(response.trickleChunk, 1));
        } else if (stopped(0)) {
            break;
        }
        clientStayed = sendAll(socket, pattern.data() + offset, length);
        if (clientStayed) {
            sent += length;
            record(length, false);
            offset = (offset + length) % pattern.size();
        }
    }
    closeConnection(clientStayed && !response.endless);
    record(0, true);
}

namespace {

// A connection to host:port (a name or an address), or INVALID_SOCKET.
SOCKET connectTo(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        return INVALID_SOCKET;
    }
    SOCKET upstream = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (upstream != INVALID_SOCKET && ::connect(upstream, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0) {
        ::closesocket(upstream);
        upstream = INVALID_SOCKET;
    }
    ::freeaddrinfo(found);
    return upstream;
}

// Passes bytes both ways until both sides have finished sending, either side fails, or stop is set.
void relay(SOCKET client, SOCKET upstream, HANDLE stopEvent) {
    bool clientOpen = true;
    bool upstreamOpen = true;
    char buffer[16 * 1024];
    while ((clientOpen || upstreamOpen) && ::WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0) {
        fd_set readable;
        FD_ZERO(&readable);
        if (clientOpen) {
            FD_SET(client, &readable);
        }
        if (upstreamOpen) {
            FD_SET(upstream, &readable);
        }
        timeval wait{0, 200000};
        const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
        if (ready < 0) {
            return;
        }
        for (const auto& [from, to, open] : {std::tuple<SOCKET, SOCKET, bool*>{client, upstream, &clientOpen},
                                             std::tuple<SOCKET, SOCKET, bool*>{upstream, client, &upstreamOpen}}) {
            if (!*open || !FD_ISSET(from, &readable)) {
                continue;
            }
            const int received = ::recv(from, buffer, sizeof(buffer), 0);
            if (received <= 0) {
                *open = false;
                ::shutdown(to, SD_SEND);
                if (received < 0 || from == upstream) {
                    return; // the origin is done: so is the exchange
                }
                continue;
            }
            if (!sendAll(to, buffer, static_cast<std::size_t>(received))) {
                return;
            }
        }
    }
}

} // namespace

void HttpTestServer::serveAsProxy(std::uintptr_t rawSocket, RecordedRequest& request, const ProxyMode& mode) {
    const SOCKET socket = static_cast<SOCKET>(rawSocket);
    const std::shared_ptr<State> state = state_;
    request.proxied = true;
    request.scripted = true;
    const bool challenge = mode.requireCredentials && !request.header("Proxy-Authorization");
    request.status = challenge ? 407 : 0;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        request.id = ++state->requestCount;
        state->requests.push_back(request);
    }
    state->changed.notify_all();
    auto finish = [&](int status) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            for (RecordedRequest& recorded : state->requests) {
                if (recorded.id == request.id) {
                    recorded.finished = true;
                    recorded.status = status;
                }
            }
        }
        state->changed.notify_all();
    };
    if (challenge) {
        const std::string out = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Negotiate\r\n"
                                "Proxy-Authenticate: NTLM\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        sendAll(socket, out.data(), out.size());
        finish(407);
        return;
    }
    const bool tunnel = request.method == "CONNECT";
    std::string authority = request.path;
    std::string target = "/";
    if (!tunnel) {
        authority = request.path.substr(7);
        const std::size_t slash = authority.find('/');
        if (slash != std::string::npos) {
            target = authority.substr(slash);
            authority.erase(slash);
        }
    }
    if (!mode.forwardTo.empty()) {
        authority = mode.forwardTo;
    }
    const std::size_t colon = authority.rfind(':');
    const std::string host = colon == std::string::npos ? authority : authority.substr(0, colon);
    const std::string port = colon == std::string::npos ? (tunnel ? "443" : "80") : authority.substr(colon + 1);
    const SOCKET upstream = connectTo(host, port);
    if (upstream == INVALID_SOCKET) {
        const std::string out = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        sendAll(socket, out.data(), out.size());
        finish(502);
        return;
    }
    bool started = false;
    if (tunnel) {
        const std::string out = "HTTP/1.1 200 Connection established\r\n\r\n";
        started = sendAll(socket, out.data(), out.size());
    } else {
        std::string out = request.method + " " + target + " HTTP/1.1\r\n";
        for (const auto& [name, value] : request.headers) {
            if (!equalsIgnoreCase(name, "Proxy-Authorization") && !equalsIgnoreCase(name, "Proxy-Connection") &&
                !equalsIgnoreCase(name, "Connection")) {
                out += name + ": " + value + "\r\n";
            }
        }
        out += "Connection: close\r\n\r\n";
        started = sendAll(upstream, out.data(), out.size());
    }
    if (started) {
        relay(socket, upstream, state->stopEvent);
    }
    ::closesocket(upstream);
    finish(started ? 200 : 502);
}

} // namespace vesk::test
