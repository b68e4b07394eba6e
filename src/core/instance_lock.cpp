#include "core/instance_lock.h"

#include "core/wide_text.h"

#include <cstdint>
#include <cwctype>

namespace vesk::updater {

namespace {

// FNV-1a over the folded folder name: kernel object names may not hold backslashes and are limited in
// length, and any stable spread of the name serves.
std::uint64_t fnv1a(const std::wstring& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t unit : text) {
        hash ^= static_cast<std::uint16_t>(unit);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::wstring hex(std::uint64_t value) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text(16, L'0');
    for (int index = 15; index >= 0; --index) {
        text[static_cast<std::size_t>(index)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return text;
}

} // namespace

std::wstring instanceLockName(const std::string& installDirectory) {
    std::wstring folded = widen(installDirectory);
    while (!folded.empty() && (folded.back() == L'\\' || folded.back() == L'/')) {
        folded.pop_back();
    }
    for (wchar_t& unit : folded) {
        unit = unit == L'/' ? L'\\' : static_cast<wchar_t>(std::towlower(static_cast<wint_t>(unit)));
    }
    // Global: a scheduled run in the service session and a run on the desktop share one installation.
    return L"Global\\VESK_Updater_Run_" + hex(fnv1a(folded));
}

std::wstring handOverTokenName(const std::wstring& lockName, unsigned long processId) {
    return lockName + L"_HandOver_" + std::to_wstring(processId);
}

} // namespace vesk::updater
