#pragma once

#include <functional>
#include <string>

namespace vesk::release {

// True for "http://" URLs whose host is a loopback address (127.0.0.0/8, "localhost", "[::1]"): the only
// servers this tool talks to, so that checking a staging server can never leak to the internet.
bool isLoopbackHttpUrl(const std::string& url);

// GET url with the updater's user agent over HTTP/1.0; the body goes to consume() in pieces. status is the
// response's status code. False with error when the URL is not a loopback http URL, the connection fails or
// times out, the response is malformed, or the body is cut short of its Content-Length.
bool httpGet(const std::string& url, const std::function<bool(const char*, size_t)>& consume, int& status,
             std::string& error);

// The same into a string (refusing bodies over maxBytes).
bool httpGetText(const std::string& url, std::string& body, int& status, std::string& error,
                 size_t maxBytes = 64u << 20);

} // namespace vesk::release
