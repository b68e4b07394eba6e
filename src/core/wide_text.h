#pragma once

#include <string>
#include <string_view>

namespace vesk::updater {

// Text is UTF-8 inside the program and UTF-16 at every Windows call; these two convert at that call.
// Neither throws nor drops text: a byte sequence that is not UTF-8 (or an unpaired surrogate) becomes
// U+FFFD, so a bad value shows up in the log instead of silently shortening a path.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

} // namespace vesk::updater
