#include "support/default_port_server.h"

#include <stdexcept>
#include <string>
#include <thread>

namespace vesk::test {

std::unique_ptr<HttpTestServer> serverOnDefaultPort(std::chrono::milliseconds timeout) {
    const std::string base = VESK_TEST_DEFAULT_BASE_URL;
    const auto port = static_cast<std::uint16_t>(std::stoi(base.substr(base.rfind(':') + 1)));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        try {
            return std::make_unique<HttpTestServer>(port);
        } catch (const std::runtime_error&) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
}

} // namespace vesk::test
