#include "core/wide_text.h"

#include <algorithm>
#include <cstdint>

namespace vesk::updater {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point starting at text[i] and advances i; malformed input yields U+FFFD and moves on by
// one byte, the way the Windows converters treat it.
char32_t decodeOne(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + length > text.size()) {
        ++i;
        return kReplacement;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += length;
    return value;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

std::wstring widen(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const char32_t cp = decodeOne(utf8, i);
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
    }
    return out;
}

std::string narrow(std::wstring_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        // Masked to 16 bits so a native build (32-bit wchar_t) reads the same units as Windows.
        const char32_t unit = static_cast<char32_t>(utf16[i]) & 0xFFFF;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size()) {
            const char32_t low = static_cast<char32_t>(utf16[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? kReplacement : unit);
    }
    return out;
}

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t before = i;
        const char32_t cp = decodeOne(bytes, i);
        // A real U+FFFD is three bytes; a replacement for a fault advances exactly one.
        if (cp == kReplacement && i - before == 1) return false;
    }
    return true;
}

std::wstring extendedLengthPath(std::wstring_view fullPath) {
    if (fullPath.size() < kLongPathFrom || fullPath.substr(0, 4) == L"\\\\?\\") {
        return std::wstring(fullPath);
    }
    const bool drive = fullPath.size() >= 3 && fullPath[1] == L':' && fullPath[2] == L'\\';
    if (drive) {
        return L"\\\\?\\" + std::wstring(fullPath);
    }
    if (fullPath.substr(0, 2) == L"\\\\" && fullPath.substr(0, 4) != L"\\\\.\\") {
        return L"\\\\?\\UNC\\" + std::wstring(fullPath.substr(2));
    }
    return std::wstring(fullPath); // relative or a device path: the form would change its meaning
}

std::wstring readGrowing(const std::function<unsigned long(wchar_t* buffer, unsigned long room)>& call) {
    constexpr unsigned long kLongest = 32767;
    std::wstring buffer(260, L'\0');
    for (;;) {
        const auto room = static_cast<unsigned long>(buffer.size());
        const unsigned long result = call(buffer.data(), room);
        if (result == 0) {
            return {};
        }
        if (result < room) {
            buffer.resize(result);
            return buffer;
        }
        if (room > kLongest) {
            return {};
        }
        // The call names the room it needs, or only that the value did not fit.
        const unsigned long next = result > room ? result : room * 2;
        buffer.assign(std::min<unsigned long>(next, kLongest + 1), L'\0');
    }
}

} // namespace vesk::updater
