#include "ui/updater_window_win.h"

#include "ui/resource_ids.h"
#include "ui/window_strings.h"

#include <commctrl.h>

#include <cstdint>
#include <vector>

namespace vesk::updater {

namespace {

constexpr int kWindowWidth = 500;
constexpr int kWindowHeight = 200;

std::wstring executableDirectoryOf(HINSTANCE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return directoryOfModulePath(std::wstring(buffer.data(), length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

HFONT createLabelFont(int height) {
    return ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                         CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
}

} // namespace

WindowIcon chooseWindowIcon(HINSTANCE module, const std::wstring& executableDirectory) {
    WindowIcon choice;
    if (HICON resource = ::LoadIconW(module, MAKEINTRESOURCEW(IDI_APP_ICON))) {
        choice.icon = resource;
        choice.source = WindowIconSource::Resource;
        return choice;
    }
    const WindowIconSource fileSources[] = {WindowIconSource::SourceTreeFile,
                                            WindowIconSource::BesideExecutable,
                                            WindowIconSource::DevelopmentPath};
    const std::vector<std::wstring> candidates = iconFileCandidates(executableDirectory);
    for (std::size_t index = 0; index < candidates.size(); ++index) {
        HANDLE loaded = ::LoadImageW(nullptr, candidates[index].c_str(), IMAGE_ICON, 64, 64, LR_LOADFROMFILE);
        if (loaded) {
            choice.owned.reset(static_cast<HICON>(loaded));
            choice.icon = choice.owned.get();
            choice.source = fileSources[index];
            return choice;
        }
    }
    choice.icon = ::LoadIconW(nullptr, IDI_APPLICATION);
    choice.source = WindowIconSource::Stock;
    return choice;
}

UpdaterWindow::UpdaterWindow() : instance(::GetModuleHandleW(nullptr)) {}

UpdaterWindow::~UpdaterWindow() {
    // The window normally closed itself already; otherwise take it down before its icon and fonts go.
    closing.store(true);
    if (mainWindow && !windowGone) {
        ::DestroyWindow(mainWindow);
    }
}

bool UpdaterWindow::create() {
    return create("Initializing...");
}

bool UpdaterWindow::create(const std::string& initialStatus) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    ::InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &UpdaterWindow::windowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 8;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hIconSm = ::LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kUpdaterWindowClass;
    if (!::RegisterClassExW(&windowClass)) {
        return false;
    }
    return createControls(initialStatus);
}

bool UpdaterWindow::createControls(const std::string& initialStatus) {
    // windowProc stores the window handle in mainWindow while the window is being created, so messages sent
    // during creation already reach this object.
    HWND created = ::CreateWindowExW(WS_EX_APPWINDOW, kUpdaterWindowClass, L"VESK Updater",
                                     WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                                     kWindowWidth, kWindowHeight, nullptr, nullptr, instance, this);
    if (!created) {
        // Creation can fail after WM_NCCREATE stored a handle that is gone again.
        mainWindow = nullptr;
        return false;
    }

    titleLabel = ::CreateWindowExW(
        0, L"STATIC", L"Checking for updates...", WS_CHILD | WS_VISIBLE | SS_CENTER, 10, 10, 460, 30,
        mainWindow, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_TITLE_TEXT)), instance, nullptr);
    titleFont.reset(createLabelFont(20));
    if (titleFont) {
        ::SendMessageW(titleLabel, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont.get()), TRUE);
    }

    progressBar = ::CreateWindowExW(
        0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 10, 60, 460, 30, mainWindow,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS)), instance, nullptr);
    ::SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendMessageW(progressBar, PBM_SETSTEP, 1, 0);

    {
        std::lock_guard<std::mutex> lock(statusMutex);
        shownStatus = initialStatus;
    }
    statusLabel = ::CreateWindowExW(
        0, L"STATIC", widenBytes(initialStatus).c_str(), WS_CHILD | WS_VISIBLE, 10, 105, 460, 25, mainWindow,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS_TEXT)), instance, nullptr);
    statusFont.reset(createLabelFont(14));
    if (statusFont) {
        ::SendMessageW(statusLabel, WM_SETFONT, reinterpret_cast<WPARAM>(statusFont.get()), TRUE);
    }

    loadWindowIcon();
    centerOnScreen();
    ::ShowWindow(mainWindow, SW_SHOW);
    ::UpdateWindow(mainWindow);
    return true;
}

void UpdaterWindow::loadWindowIcon() {
    iconChoice = chooseWindowIcon(instance, executableDirectoryOf(instance));
    icon = iconChoice.icon;
    ::SendMessageW(mainWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::SendMessageW(mainWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

void UpdaterWindow::centerOnScreen() {
    RECT rect{};
    ::GetWindowRect(mainWindow, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    ::SetWindowPos(mainWindow, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void UpdaterWindow::setTitle(const std::string& title) {
    if (!mainWindow || closing.load()) {
        return;
    }
    ::SetWindowTextW(mainWindow, widenBytes(title).c_str());
}

void UpdaterWindow::setProgress(int percent) {
    if (!mainWindow || closing.load()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        pendingProgress = percent;
        if (progressPosted || percent == shownProgress) {
            return; // the message in the queue will show it, or the bar shows it already
        }
        progressPosted = true;
    }
    // Through INT_PTR so a negative value arrives sign-extended.
    if (!::PostMessageW(mainWindow, WM_UPDATE_PROGRESS, static_cast<WPARAM>(static_cast<INT_PTR>(percent)),
                        0)) {
        std::lock_guard<std::mutex> lock(statusMutex);
        progressPosted = false;
    }
}

void UpdaterWindow::setStatus(const std::string& status) {
    if (!mainWindow || closing.load()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        pendingStatus = status;
        if (statusPosted || pendingStatus == shownStatus) {
            return; // the message in the queue will show it, or the line shows it already
        }
        statusPosted = true;
    }
    if (!::PostMessageW(mainWindow, WM_UPDATE_STATUS, 0, 0)) {
        std::lock_guard<std::mutex> lock(statusMutex);
        statusPosted = false;
    }
}

void UpdaterWindow::close() {
    if (!mainWindow || closing.load()) {
        return;
    }
    ::PostMessageW(mainWindow, WM_CLOSE_WINDOW, 0, 0);
}

std::string UpdaterWindow::pendingStatusText() const {
    std::lock_guard<std::mutex> lock(statusMutex);
    return pendingStatus;
}

int UpdaterWindow::runMessageLoop() {
    MSG message{};
    BOOL result;
    while ((result = ::GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (result == -1) {
            return 1; // cannot happen without a window filter; never spin on it
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(static_cast<std::uint32_t>(message.wParam));
}

bool UpdaterWindow::pumpMessagesUntil(HANDLE done) {
    for (;;) {
        MSG message{};
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return false;
            }
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        const DWORD woken = ::MsgWaitForMultipleObjectsEx(1, &done, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) {
            return true;
        }
        if (woken == WAIT_FAILED) {
            // Without a working wait the messages cannot be pumped either: wait for the work alone.
            ::WaitForSingleObject(done, INFINITE);
            return true;
        }
    }
}

LRESULT CALLBACK UpdaterWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    UpdaterWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<UpdaterWindow*>(creation->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        if (self) {
            self->mainWindow = window;
        }
    } else {
        self = reinterpret_cast<UpdaterWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (!self) {
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    return self->handleMessage(message, wParam, lParam);
}

LRESULT UpdaterWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_UPDATE_PROGRESS: {
        int position = static_cast<int>(static_cast<INT_PTR>(wParam));
        {
            std::lock_guard<std::mutex> lock(statusMutex);
            if (progressPosted) {
                progressPosted = false;
                position = pendingProgress;
            }
            shownProgress = position;
        }
        ::SendMessageW(progressBar, PBM_SETPOS, static_cast<WPARAM>(static_cast<INT_PTR>(position)), 0);
        return 0;
    }
    case WM_UPDATE_STATUS: {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(statusMutex);
            statusPosted = false;
            text = pendingStatus;
            shownStatus = text;
        }
        ::SetWindowTextW(statusLabel, widenBytes(text).c_str());
        return 0;
    }
    case WM_CLOSE_WINDOW:
        ::PostMessageW(mainWindow, WM_CLOSE, 0, 0);
        return 0;
    case WM_CLOSE:
        closing.exchange(true);
        ::DestroyWindow(mainWindow);
        return 0;
    case WM_DESTROY:
        // However the window goes, nothing may be posted to it any more.
        closing.store(true);
        ::PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        windowGone = true;
        break;
    case WM_PAINT: {
        PAINTSTRUCT paint{};
        HDC dc = ::BeginPaint(mainWindow, &paint);
        RECT client{};
        ::GetClientRect(mainWindow, &client);
        ::FillRect(dc, &client, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
        ::EndPaint(mainWindow, &paint);
        return 0;
    }
    default:
        break;
    }
    return ::DefWindowProcW(mainWindow, message, wParam, lParam);
}

} // namespace vesk::updater
