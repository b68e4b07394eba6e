#include "support/dialog_dismisser_win.h"

#include <windows.h>

#include <chrono>
#include <set>

namespace vesk::test {

namespace {

struct Search {
    DWORD processId;
    std::set<HWND>* found;
};

BOOL CALLBACK collectDialogs(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = {};
    ::GetClassNameW(window, className, 16);
    if (owner == search->processId && std::wstring(className) == L"#32770" && ::IsWindowVisible(window)) {
        search->found->insert(window);
    }
    return TRUE;
}

} // namespace

DialogDismisser::DialogDismisser() {
    watcher_ = std::thread([this] {
        std::set<HWND> closed;
        while (!stop_.load()) {
            std::set<HWND> found;
            Search search{::GetCurrentProcessId(), &found};
            ::EnumWindows(collectDialogs, reinterpret_cast<LPARAM>(&search));
            for (HWND dialog : found) {
                ::PostMessageW(dialog, WM_CLOSE, 0, 0);
                if (closed.insert(dialog).second) {
                    ++dismissed_;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

DialogDismisser::~DialogDismisser() {
    stop_.store(true);
    watcher_.join();
}

} // namespace vesk::test
