#pragma once

#include <chrono>
#include <functional>

namespace vesk::test {

// Checks condition every few milliseconds until it holds or the timeout passes; true when it held. For
// waiting on another thread or process, never as a fixed delay.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

} // namespace vesk::test
