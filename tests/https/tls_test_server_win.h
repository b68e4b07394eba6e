#pragma once

// The loopback TLS file server (tls_test_server.py) run beside a test. Wine starts the Unix python3 directly;
// the test keeps a plain control connection to it, and the server ends when that connection closes, so it
// never outlives the test, even one that crashes.

#include "support/temp_dir.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vesk::test {

// One logged server event: its kind ("connection", "tls-failed", "request") and the fields after the
// listener.
struct TlsServerEvent {
    std::string kind;
    std::string listener;
    std::vector<std::string> fields;
};

class TlsTestServer {
public:
    // One listener: a name and the base name of its certificate and key in the test certificate folder
    // ("localhost" serves localhost.pem with localhost.key).
    struct Listener {
        std::string name;
        std::string certificate;
    };

    // Starts the server for the files below root (a Windows path) and waits until every listener accepts
    // connections; throws std::runtime_error, with the server's own output, when it does not within 30 s.
    TlsTestServer(const std::vector<Listener>& listeners, const std::string& root);
    // Closes the control connection, which ends the server.
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    std::uint16_t port(const std::string& listener) const { return ports_.at(listener); }
    // "https://localhost:<port>" + path; the certificates name localhost, not an address.
    std::string url(const std::string& listener, const std::string& path = "") const;
    // Every event logged so far, in order.
    std::vector<TlsServerEvent> events() const;

private:
    TempDir dir_;
    std::map<std::string, std::uint16_t> ports_;
    std::uintptr_t control_;
};

// The Unix path Wine maps a Windows path to; throws std::runtime_error when there is none.
std::string unixPathOf(const std::string& windowsPath);

// Runs the CA installer on the test CA of this build, so that the prefix trusts the localhost certificate.
// Returns the installer's exit code and sets output to what it printed.
unsigned long trustTestCa(std::string& output);

} // namespace vesk::test
