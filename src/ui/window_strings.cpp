#include "ui/window_strings.h"

namespace vesk::updater {

std::wstring widenBytes(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text) {
        // Through unsigned char: a plain char is signed here and would turn 0xE9 into U+FFE9.
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

std::wstring directoryOfModulePath(const std::wstring& modulePath) {
    const std::size_t separator = modulePath.find_last_of(L'\\');
    return separator == std::wstring::npos ? modulePath : modulePath.substr(0, separator);
}

std::vector<std::wstring> iconFileCandidates(const std::wstring& executableDirectory) {
    return {
        executableDirectory + L"\\..\\..\\..\\Source\\Client\\VESK_Engine\\resources\\icon_image.ico",
        executableDirectory + L"\\icon_image.ico",
        L"C:\\VESK\\Source\\Client\\VESK_Engine\\resources\\icon_image.ico",
    };
}

} // namespace vesk::updater
