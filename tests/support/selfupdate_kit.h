#pragma once

// Helpers for the self-update tests: reading what a run added to a log, writing manifests, digests of
// fixture bytes, and polling with a deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesk::test {

// The lines a log file gained after construction. Each message reads "LEVEL text"; a message that spans
// several lines keeps them joined with "\n".
class LogCapture {
public:
    // Starts at the current end of the file (or at its beginning when it does not exist yet).
    explicit LogCapture(std::string logPath);
    std::vector<std::string> messages() const;

private:
    std::string path_;
    std::size_t offset_ = 0;
};

// Every message of a log file, as LogCapture reports them.
std::vector<std::string> logMessages(const std::string& logPath);

// Succeeds when every expected message occurs in messages in the given order (other messages may come
// between them); the failure names the first one not found and lists what was logged.
::testing::AssertionResult messagesInOrder(const std::vector<std::string>& messages,
                                           const std::vector<std::string>& expected);
bool containsMessage(const std::vector<std::string>& messages, const std::string& expected);
// The number of messages that start with prefix.
std::size_t countStartingWith(const std::vector<std::string>& messages, const std::string& prefix);

// JSON string literal for text (quotes, backslashes and control characters escaped).
std::string jsonString(const std::string& text);

// One flat file entry as the manifest writing rules want it ("name" first, one space after each colon).
// stringFields are written as JSON strings, numberFields verbatim.
std::string manifestFileEntry(const std::string& name,
                              const std::vector<std::pair<std::string, std::string>>& stringFields,
                              const std::vector<std::pair<std::string, std::string>>& numberFields = {});

// A manifest with version, build number and the given entries, nested under "manifest" or at the root.
std::string manifestDocument(const std::vector<std::string>& entries, const std::string& version = "1.0",
                             const std::string& buildNumber = "7", bool nested = true);

// SHA-256 of bytes, 64 lower-case hex digits.
std::string sha256Hex(const std::string& bytes);
std::string toUpperCase(std::string text);

// Calls condition until it holds or timeout has passed; the result of the last call.
bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(50));

} // namespace vesk::test
