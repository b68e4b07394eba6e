#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vesk::release {

// Standard Base64 (RFC 4648 alphabet, "=" padding), as the updater's key and signature fields use it.
std::string encodeBase64(std::string_view bytes);

// Decodes standard Base64 the way the updater's platform decoder accepts it: line breaks, spaces and
// tabs between groups are skipped, "=" may only pad the end. Returns false (and leaves out empty) on any
// other character, on a dangling single character, or when nothing decodes.
bool decodeBase64(std::string_view text, std::string& out);

// Lower-case hexadecimal text of the bytes.
std::string toHex(std::string_view bytes);

// True when text is exactly 64 hexadecimal digits (either letter case).
bool isSha256Text(std::string_view text);

// Lower-cases ASCII letters only.
std::string asciiLower(std::string_view text);

// True when text is non-empty and every byte is a letter, digit, ".", "_" or "-": safe both as a URL path
// segment and as a file-name piece on Windows and POSIX.
bool isPlainToken(std::string_view text);

// Parses a whole decimal number without sign or blanks; false on anything else or overflow.
bool parseDecimal(std::string_view text, std::uint64_t& value);

} // namespace vesk::release
