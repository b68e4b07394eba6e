#include "support/selfupdate_kit.h"

#include "support/log_follower.h"
#include "support/temp_dir.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <thread>

namespace vesk::test {

namespace {

bool startsWithStamp(const std::string& line) {
    return line.size() >= 22 && line[0] == '[' && line[20] == ']' && line[21] == ' ';
}

std::vector<std::string> parseMessages(const std::string& raw) {
    std::string text;
    text.reserve(raw.size());
    for (char c : raw) {
        if (c != '\r') {
            text.push_back(c);
        }
    }
    std::vector<std::string> messages;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (startsWithStamp(line)) {
            // "[stamp] [LEVEL] [] message"
            const std::size_t levelEnd = line.find("] [] ", 23);
            if (levelEnd == std::string::npos) {
                messages.push_back(line);
            } else {
                messages.push_back(line.substr(23, levelEnd - 23) + " " + line.substr(levelEnd + 5));
            }
        } else if (!messages.empty()) {
            messages.back() += "\n" + line;
        } else {
            messages.push_back(line);
        }
    }
    return messages;
}

} // namespace

LogCapture::LogCapture(std::string logPath)
    : path_(std::move(logPath)), offset_(readFileBytes(path_).size()) {}

std::vector<std::string> LogCapture::messages() const {
    return parseMessages(logBytesSince(path_, offset_));
}

std::vector<std::string> logMessages(const std::string& logPath) {
    return parseMessages(readFileBytes(logPath));
}

::testing::AssertionResult messagesInOrder(const std::vector<std::string>& messages,
                                           const std::vector<std::string>& expected) {
    auto position = messages.begin();
    for (const std::string& wanted : expected) {
        const auto found = std::find(position, messages.end(), wanted);
        if (found == messages.end()) {
            std::ostringstream out;
            out << "missing (in this order): \"" << wanted << "\"\nlogged:\n";
            for (const std::string& message : messages) {
                out << "  " << message << "\n";
            }
            return ::testing::AssertionFailure() << out.str();
        }
        position = found + 1;
    }
    return ::testing::AssertionSuccess();
}

bool containsMessage(const std::vector<std::string>& messages, const std::string& expected) {
    return std::find(messages.begin(), messages.end(), expected) != messages.end();
}

std::size_t countStartingWith(const std::vector<std::string>& messages, const std::string& prefix) {
    return static_cast<std::size_t>(
        std::count_if(messages.begin(), messages.end(),
                      [&](const std::string& m) { return m.compare(0, prefix.size(), prefix) == 0; }));
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string manifestFileEntry(const std::string& name,
                              const std::vector<std::pair<std::string, std::string>>& stringFields,
                              const std::vector<std::pair<std::string, std::string>>& numberFields) {
    std::string entry = "{\"name\": " + jsonString(name);
    for (const auto& [key, value] : stringFields) {
        entry += ", \"" + key + "\": " + jsonString(value);
    }
    for (const auto& [key, value] : numberFields) {
        entry += ", \"" + key + "\": " + value;
    }
    return entry + "}";
}

std::string manifestDocument(const std::vector<std::string>& entries, const std::string& version,
                             const std::string& buildNumber, bool nested) {
    std::string object =
        "{\"version\": " + jsonString(version) + ", \"build_number\": " + buildNumber + ", \"files\": [\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        object += "    " + entries[i] + (i + 1 < entries.size() ? ",\n" : "\n");
    }
    object += "]}";
    return nested ? "{\"manifest\": " + object + "}" : object;
}

std::string sha256Hex(const std::string& bytes) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::string hex;
    if (::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
            BYTE digest[32];
            DWORD length = sizeof(digest);
            if (::CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<DWORD>(bytes.size()), 0) &&
                ::CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0)) {
                static const char* digits = "0123456789abcdef";
                for (DWORD i = 0; i < length; ++i) {
                    hex.push_back(digits[digest[i] >> 4]);
                    hex.push_back(digits[digest[i] & 15]);
                }
            }
            ::CryptDestroyHash(hash);
        }
        ::CryptReleaseContext(provider, 0);
    }
    return hex;
}

std::string toUpperCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

} // namespace vesk::test
