#pragma once

#include <cstddef>
#include <functional>
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

// Paths from this length on get the extended-length form: the shortest limit of a Windows path call
// (CreateDirectoryW's, 260 less room for an 8.3 file name) lies just above it.
inline constexpr std::size_t kLongPathFrom = 248;

// The "\\?\" form of a full path (drive or UNC) that is kLongPathFrom characters or longer, so that the
// call takes it past 260 characters; any other path comes back unchanged. The path must already be full
// and normalised: the extended form switches off the system's own clean-up of "." and "/".
std::wstring extendedLengthPath(std::wstring_view fullPath);

// Fills a buffer through a call that reports either the characters written (less than the room given) or
// that the room was too small: the room itself (a cut-off value, as GetModuleFileNameW does) or the room
// it needs (as GetTempPathW and GetFullPathNameW do). Grows until the value fits; "" when the call fails
// (returns 0) or the value would pass 32767 characters, the longest path Windows knows.
std::wstring readGrowing(const std::function<unsigned long(wchar_t* buffer, unsigned long room)>& call);

} // namespace vesk::updater
