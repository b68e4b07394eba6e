// Checks the loopback test server itself with a bare Winsock client, so the download tests that rely on
// its scripting (cuts, delays, the request record) can trust what it does.

#include "support/http_test_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using vesk::test::HttpTestServer;
using vesk::test::ScriptedResponse;
using namespace std::chrono_literals;

namespace {

class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (started_) {
            ::WSACleanup();
        }
    }

private:
    bool started_ = false;
};

// Sends rawRequest to the server and returns everything received until the server closes.
std::string rawExchange(const HttpTestServer& server, const std::string& rawRequest) {
    WinsockSession session;
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return "<no socket>";
    }
    const DWORD timeout = 10000;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.port());
    std::string received;
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        ::send(socket, rawRequest.data(), static_cast<int>(rawRequest.size()), 0);
        char buffer[4096];
        int count;
        while ((count = ::recv(socket, buffer, sizeof(buffer), 0)) > 0) {
            received.append(buffer, static_cast<size_t>(count));
        }
    } else {
        received = "<no connection>";
    }
    ::closesocket(socket);
    return received;
}

std::string rawGet(const HttpTestServer& server, const std::string& path,
                   const std::string& agent = "probe/1") {
    return rawExchange(server,
                       "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: " + agent + "\r\n\r\n");
}

std::string bodyOf(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

} // namespace

TEST(HttpTestServer, ServesScriptsAndRecordsRequestsInOrder) {
    HttpTestServer server;
    EXPECT_NE(server.port(), 0);
    server.respond("/a.txt", 200, "alpha");
    server.respond("/missing.html", 404, "<html>gone</html>");

    const std::string first = rawGet(server, "/a.txt", "agent-one");
    EXPECT_EQ(first.rfind("HTTP/1.1 200 ", 0), 0u) << first;
    EXPECT_NE(first.find("Content-Length: 5\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(first), "alpha");

    const std::string second = rawGet(server, "/missing.html", "agent-two");
    EXPECT_EQ(second.rfind("HTTP/1.1 404 ", 0), 0u) << second;
    EXPECT_EQ(bodyOf(second), "<html>gone</html>");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/a.txt");
    EXPECT_EQ(requests[0].userAgent, "agent-one");
    EXPECT_EQ(requests[1].path, "/missing.html");
    EXPECT_EQ(requests[1].userAgent, "agent-two");
    EXPECT_EQ(requests[1].header("host"), "127.0.0.1");
    EXPECT_TRUE(server.unexpectedRequests().empty());
}

TEST(HttpTestServer, UnscriptedPathGets404AndIsFlagged) {
    HttpTestServer server;
    server.respond("/known", 200, "x");
    const std::string response = rawGet(server, "/unknown");
    EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
    const auto unexpected = server.unexpectedRequests();
    ASSERT_EQ(unexpected.size(), 1u);
    EXPECT_EQ(unexpected[0].path, "/unknown");
    EXPECT_FALSE(unexpected[0].scripted);
}

TEST(HttpTestServer, MissingUserAgentIsRecordedAsAbsent) {
    HttpTestServer server;
    server.respond("/x", 200, "");
    rawExchange(server, "GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].userAgent.has_value());
}

TEST(HttpTestServer, CutConnectionPromisesWholeBodyButSendsOnlyPart) {
    HttpTestServer server;
    ScriptedResponse response;
    response.body = std::string(10000, 'z');
    response.cutAfterBytes = 1234;
    server.respond("/cut", response);
    const std::string received = rawGet(server, "/cut");
    EXPECT_NE(received.find("Content-Length: 10000\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(received).size(), 1234u);
}

TEST(HttpTestServer, DelayHoldsTheResponseButRecordsTheRequestAtOnce) {
    HttpTestServer server;
    ScriptedResponse response;
    response.body = "late";
    response.delay = 700ms;
    server.respond("/slow", response);
    const auto start = std::chrono::steady_clock::now();
    std::string received;
    std::thread client([&] { received = rawGet(server, "/slow"); });
    EXPECT_TRUE(server.waitForRequests(1, 5s));
    client.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 650ms);
    EXPECT_EQ(bodyOf(received), "late");
}

TEST(HttpTestServer, NonHttpBytesAreRecordedAsMalformedNotAsRequests) {
    HttpTestServer server;
    rawExchange(server, std::string("\x16\x03\x01\x00\x05hello", 10));
    EXPECT_TRUE(server.requests().empty());
    const auto malformed = server.malformedConnections();
    ASSERT_EQ(malformed.size(), 1u);
    EXPECT_EQ(malformed[0][0], '\x16');
}

TEST(HttpTestServer, StopEndsAConnectionThatIsStillWaitingQuickly) {
    auto server = std::make_unique<HttpTestServer>();
    ScriptedResponse response;
    response.delay = 60s;
    server->respond("/forever", response);
    std::string received = "unset";
    std::thread client([&] { received = rawGet(*server, "/forever"); });
    ASSERT_TRUE(server->waitForRequests(1, 5s));
    const auto start = std::chrono::steady_clock::now();
    server->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    client.join();
    EXPECT_EQ(received, "");
}

TEST(HttpTestServer, TwoServersGetDifferentPorts) {
    HttpTestServer first;
    HttpTestServer second;
    EXPECT_NE(first.port(), second.port());
    EXPECT_EQ(first.baseUrl(), "http://127.0.0.1:" + std::to_string(first.port()));
}
