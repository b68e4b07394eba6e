#pragma once

#include "core/handles_win.h"

#include <atomic>
#include <mutex>
#include <string>

namespace vesk::updater {

// Control ids of the window's children.
inline constexpr int IDC_PROGRESS = 1001;
inline constexpr int IDC_STATUS_TEXT = 1002;
inline constexpr int IDC_TITLE_TEXT = 1003;

// Private messages other threads post to the window.
inline constexpr UINT WM_UPDATE_PROGRESS = WM_USER + 1;
inline constexpr UINT WM_UPDATE_STATUS = WM_USER + 2;
inline constexpr UINT WM_CLOSE_WINDOW = WM_USER + 3;

inline constexpr const wchar_t* kUpdaterWindowClass = L"VESKUpdaterWindow";

// Where the window's icon came from, in the order the sources are tried.
enum class WindowIconSource {
    None,             // not chosen yet
    Resource,         // the program's own icon group
    SourceTreeFile,   // icon_image.ico in the development tree relative to the executable
    BesideExecutable, // icon_image.ico beside the executable
    DevelopmentPath,  // icon_image.ico at the fixed development path
    Stock,            // the system's application icon
};

// An icon chosen for the window. `owned` holds the icon when it was loaded from a file and must be destroyed;
// icons from resources and the stock icon are shared and are never destroyed.
struct WindowIcon {
    HICON icon = nullptr;
    IconHandle owned;
    WindowIconSource source = WindowIconSource::None;
};

// Tries the icon resource of `module`, then the icon files around `executableDirectory`, then the stock icon.
WindowIcon chooseWindowIcon(HINSTANCE module, const std::wstring& executableDirectory);

// The program's progress window: a heading, a progress bar and a status line. Created and pumped on the main
// thread; setProgress, setStatus and close may be called from any thread and only post messages. Progress and
// status are coalesced: at most one message of each kind waits in the window's queue, and it shows the latest
// value when it is handled, so no rate of updates can fill the queue and crowd out the close request. Once
// the window starts closing (or is gone), the four update operations do nothing.
class UpdaterWindow {
public:
    UpdaterWindow();
    ~UpdaterWindow();
    UpdaterWindow(const UpdaterWindow&) = delete;
    UpdaterWindow& operator=(const UpdaterWindow&) = delete;

    // Registers the window class and creates the window and its controls, shown and centred. Fails when the
    // class cannot be registered, which includes a second create in the same process.
    bool create();
    // create with another first text in the status line, shown from the window's first appearance.
    bool create(const std::string& initialStatus);
    // Main thread only: sets the caption at once.
    void setTitle(const std::string& title);
    // Any thread: moves the bar (the bar keeps it within 0..100); values set faster than the window shows
    // them are coalesced, the last one always wins.
    void setProgress(int percent);
    // Any thread: shows the text in the status line; texts set faster than the window shows them are
    // coalesced, the last one always wins.
    void setStatus(const std::string& status);
    // Any thread: asks the window to close, which ends the message loop.
    void close();
    // Main thread: pumps messages until the quit message and returns its exit code.
    int runMessageLoop();
    // Main thread: pumps messages while work goes on elsewhere, until `done` is signalled (true) or the
    // window has been closed (false: the quit message was taken from the queue).
    bool pumpMessagesUntil(HANDLE done);

    // Read-only views for tests and diagnostics.
    HWND windowHandle() const { return mainWindow; }
    HWND progressBarHandle() const { return progressBar; }
    HWND statusLabelHandle() const { return statusLabel; }
    HWND titleLabelHandle() const { return titleLabel; }
    HICON iconHandle() const { return icon; }
    WindowIconSource iconSource() const { return iconChoice.source; }
    bool isClosing() const { return closing.load(); }
    // The text the last setStatus handed over.
    std::string pendingStatusText() const;

private:
    struct FontTraits {
        using Value = HFONT;
        static Value invalid() noexcept { return nullptr; }
        static void close(Value font) noexcept { ::DeleteObject(font); }
    };
    using FontHandle = UniqueHandle<FontTraits>;

    bool createControls(const std::string& initialStatus);
    void loadWindowIcon();
    void centerOnScreen();
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    HWND mainWindow = nullptr;
    HWND progressBar = nullptr;
    HWND statusLabel = nullptr;
    HWND titleLabel = nullptr;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    std::atomic<bool> closing{false};
    // Guards the values handed to the window thread and what it shows. A status or progress message in the
    // queue will show the latest value, so further values only replace the pending one; a value the window
    // shows already needs no message at all.
    mutable std::mutex statusMutex;
    std::string pendingStatus;
    std::string shownStatus = "Initializing...";
    bool statusPosted = false;
    int pendingProgress = 0;
    int shownProgress = 0;
    bool progressPosted = false;

    // Main-thread bookkeeping: the chosen icon (owning file icons), the fonts of the two labels, and whether
    // the window is gone, so the destructor never destroys a handle that may by now name another window.
    WindowIcon iconChoice;
    FontHandle titleFont;
    FontHandle statusFont;
    bool windowGone = false;
};

} // namespace vesk::updater
