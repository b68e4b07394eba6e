#pragma once

#include <string>

namespace vesk::updater {

// Fetches url with a GET into filePath. True when a response arrived and the file was created and
// filled; the response status is not examined.
bool downloadToFile(const std::wstring& url, const std::string& filePath);

// Fetches url with a GET and returns the body; "" means failure or an empty body.
std::string downloadToString(const std::string& url);

} // namespace vesk::updater
