#include "support/http_test_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <stdexcept>

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

    ScriptedResponse response;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        const auto script = state->scripts.find(request.path);
        request.scripted = script != state->scripts.end();
        if (request.scripted) {
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
    // Updates this request's record (unless the test has cleared it meanwhile).
    auto record = [&](std::uint64_t bodyBytes, bool finished) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            for (RecordedRequest& recorded : state->requests) {
                if (recorded.id == request.id) {
                    recorded.bodyBytesSent += bodyBytes;
                    recorded.finished = recorded.finished || finished;
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
            length = 1;
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

} // namespace vesk::test
