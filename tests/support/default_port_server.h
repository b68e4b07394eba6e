#pragma once

#include "support/http_test_server.h"

#include <chrono>
#include <memory>

namespace vesk::test {

// A test server on the port of the program's built-in default server, for tests of the whole program. Another
// test run on this machine may hold that port for a while, so binding is retried until the timeout; nullptr
// when it never became free.
std::unique_ptr<HttpTestServer> serverOnDefaultPort(std::chrono::milliseconds timeout);

} // namespace vesk::test
