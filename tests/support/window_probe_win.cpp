#include "support/window_probe_win.h"

#include <commctrl.h>

#include <vector>

namespace vesk::test {

namespace {

struct Search {
    DWORD processId;
    const std::wstring* className;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t className[256] = {};
    ::GetClassNameW(window, className, 256);
    if (owner == search->processId && *search->className == className && ::IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND findProcessWindow(DWORD processId, const std::wstring& className) {
    Search search{processId, &className, nullptr};
    ::EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring windowText(HWND window) {
    // The program may change the text between the two calls: a buffer sized for a shorter old text would cut
    // the new one short ("Initializing..." has room for 16 characters of the next status). A text that
    // fills the buffer may have been cut, so it is read again with room to spare.
    for (int attempt = 0;; ++attempt) {
        const int length = ::GetWindowTextLengthW(window);
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 2 + static_cast<size_t>(attempt) * 256);
        const int copied = ::GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()));
        if (copied < 0 || static_cast<size_t>(copied) + 1 < buffer.size() || attempt == 8) {
            return std::wstring(buffer.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
        }
    }
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t unit : text) {
        out.push_back(static_cast<char>(unit & 0xFF));
    }
    return out;
}

int progressPosition(HWND progressBar) {
    return static_cast<int>(::SendMessageW(progressBar, PBM_GETPOS, 0, 0));
}

} // namespace vesk::test
