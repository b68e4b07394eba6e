#pragma once

// A scripted HTTP/1.1 server on 127.0.0.1 that runs inside the test process, so downloads go through the
// real WinHTTP stack and tests can assert exactly what was asked for. Each connection carries one request
// and is closed after the response ("Connection: close").

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vesk::test {

// What the server answers for one path.
struct ScriptedResponse {
    int status = 200;
    std::string body;
    // Waited before anything is sent (the request is already recorded by then).
    std::chrono::milliseconds delay{0};
    // When set, Content-Length still promises the whole body but the connection is closed after this many
    // body bytes.
    std::optional<std::size_t> cutAfterBytes;
    // Further response headers, e.g. {"Location", "/elsewhere"}.
    std::vector<std::pair<std::string, std::string>> headers;
    // When true, the connection is closed without any response (after the delay), so the client's request
    // fails as it does against a server that is down for this path.
    bool dropWithoutResponse = false;
    // When true, the body never ends: body (or zeros when it is empty) is sent over and over, without a
    // Content-Length, until the client goes away or the server stops.
    bool endless = false;
    // When set, body bytes go out trickleChunk at a time, each after this pause.
    std::optional<std::chrono::milliseconds> trickleInterval;
    std::size_t trickleChunk = 1;
    // When set, Content-Length promises this many bytes whatever the body holds; the body is sent whole,
    // so it can run past its own promise.
    std::optional<std::uint64_t> declaredLength;
    // When true, the request is read and then nothing at all is sent until the client gives up (or the
    // server stops): a server that accepts and never answers.
    bool neverAnswer = false;
    // When true, the connection is reset (not closed) after the headers and cutAfterBytes body bytes.
    bool resetConnection = false;
    // When true, a request with "Range: bytes=N-" is answered 206 with the body from N on, provided its
    // If-Range (if any) equals this response's ETag or Last-Modified header.
    bool honourRanges = false;
};

// How the server behaves when asked as a proxy (absolute request targets, CONNECT).
struct ProxyMode {
    // Answer 407 (offering Negotiate and NTLM) to requests without a Proxy-Authorization header.
    bool requireCredentials = false;
    // When set ("host:port"), every forwarded request goes there whatever origin it names: a proxy that is
    // the only way out of the network.
    std::string forwardTo;
};

// One request as it arrived.
struct RecordedRequest {
    std::string method;
    // The request target exactly as sent, e.g. "/updates/1.0.7/Updater.exe".
    std::string path;
    std::optional<std::string> userAgent;
    // Every header line in arrival order, names as sent.
    std::vector<std::pair<std::string, std::string>> headers;
    // False when no response had been scripted for the path (it was answered with 404).
    bool scripted = false;
    // The server's count of requests, from 1.
    std::uint64_t id = 0;
    // Body bytes handed to the connection so far, and whether the server is done with it.
    std::uint64_t bodyBytesSent = 0;
    bool finished = false;
    // True when the request came to the server as a proxy (its path is then the absolute target, or the
    // host:port of a CONNECT).
    bool proxied = false;
    // The status the server answered with (0 when it sent none).
    int status = 0;

    // The value of the first header with this name (compared without regard to case).
    std::optional<std::string> header(const std::string& name) const;
};

class HttpTestServer {
public:
    // Binds an ephemeral port on 127.0.0.1 and starts serving; throws std::runtime_error when it cannot.
    HttpTestServer();
    // Binds the given port on 127.0.0.1 instead (0: ephemeral). Only for tests of the whole program, whose
    // built-in server address is fixed; throws std::runtime_error while another process holds the port.
    explicit HttpTestServer(std::uint16_t fixedPort);
    // Stops serving and waits for every connection to end.
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" (no trailing slash).
    std::string baseUrl() const;
    // baseUrl() + path.
    std::string url(const std::string& path) const { return baseUrl() + path; }
    std::wstring wideUrl(const std::string& path) const;

    // Scripts (or replaces) the answer for an exact request target.
    void respond(const std::string& path, ScriptedResponse response);
    // Shorthand for a complete response with this status and body.
    void respond(const std::string& path, int status, std::string body);
    // Answers the requests for path with these responses in turn; the last one answers every later request.
    void respondInTurn(const std::string& path, std::vector<ScriptedResponse> responses);
    // Called with every request for a scripted path just before it is answered; may change the answer
    // (fault injection). Runs on the connection's thread.
    void setFaultInjector(std::function<void(const RecordedRequest&, ScriptedResponse&)> injector);
    // Serves as a forwarding proxy too: absolute-form requests are passed on to their origin, CONNECT opens a
    // tunnel. Requests to the server's own paths are answered as before.
    void enableProxy(ProxyMode mode = {});

    // Every request so far, in arrival order.
    std::vector<RecordedRequest> requests() const;
    // The request targets so far, in arrival order.
    std::vector<std::string> requestedPaths() const;
    // Requests for paths that had no scripted response.
    std::vector<RecordedRequest> unexpectedRequests() const;
    // Connections whose first bytes were not an HTTP request (e.g. a TLS handshake); each entry holds the
    // bytes received before the server gave up on it.
    std::vector<std::string> malformedConnections() const;
    // Waits until every request recorded so far is finished or the timeout passes; true on success.
    bool waitForFinishedResponses(std::chrono::milliseconds timeout) const;
    // Waits until at least count requests have been recorded or the timeout passes; true on success.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    // Forgets every recorded request and malformed connection (scripts stay).
    void clearRecord();

    // Stops accepting, ends open connections and joins every thread; called by the destructor.
    void stop();

private:
    struct State;

    void acceptLoop();
    void serveConnection(std::uintptr_t socket);
    void serveAsProxy(std::uintptr_t socket, RecordedRequest& request, const ProxyMode& mode);

    std::shared_ptr<State> state_;
    std::uint16_t port_ = 0;
    std::thread acceptThread_;
};

} // namespace vesk::test
