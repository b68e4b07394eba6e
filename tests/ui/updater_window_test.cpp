#include "support/wait_until.h"
#include "support/window_probe_win.h"
#include "ui/ui_progress_callback_win.h"
#include "ui/updater_window_win.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <chrono>
#include <climits>
#include <functional>
#include <thread>

using namespace vesk::updater;
using vesk::test::progressPosition;
using vesk::test::waitUntil;
using vesk::test::windowText;
using Clock = std::chrono::steady_clock;

namespace {

bool waitForText(HWND control, const std::wstring& text) {
    return waitUntil([&] { return windowText(control) == text; });
}

bool waitForPosition(HWND bar, int position) {
    return waitUntil([&] { return progressPosition(bar) == position; });
}

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class UpdaterWindowTest : public ::testing::Test {
protected:
    // Only one window class registration per process is possible; drop it so the next test can create again.
    void TearDown() override { ::UnregisterClassW(kUpdaterWindowClass, ::GetModuleHandleW(nullptr)); }

    // Runs script on a second thread, as the update thread would, while this thread pumps the window's
    // messages. If the script stops without closing the window, the window is closed for it.
    static int driveFromSecondThread(UpdaterWindow& window, const std::function<void()>& script) {
        HWND mainWindow = window.windowHandle();
        std::thread worker([&] {
            script();
            if (::IsWindow(mainWindow)) {
                ::PostMessageW(mainWindow, WM_CLOSE, 0, 0);
            }
        });
        const int exitCode = window.runMessageLoop();
        worker.join();
        return exitCode;
    }
};

} // namespace

TEST_F(UpdaterWindowTest, CreatedWindowShowsHeadingEmptyBarAndStatusCentred) {
    UpdaterWindow window;
    ASSERT_TRUE(window.create());
    HWND mainWindow = window.windowHandle();
    ASSERT_NE(mainWindow, nullptr);
    EXPECT_TRUE(::IsWindowVisible(mainWindow));

    wchar_t className[64] = {};
    ::GetClassNameW(mainWindow, className, 64);
    EXPECT_STREQ(className, L"VESKUpdaterWindow");
    EXPECT_EQ(windowText(mainWindow), L"VESK Updater");
    const LONG_PTR style = ::GetWindowLongPtrW(mainWindow, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX), WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);

    ASSERT_EQ(::GetDlgItem(mainWindow, IDC_TITLE_TEXT), window.titleLabelHandle());
    ASSERT_EQ(::GetDlgItem(mainWindow, IDC_PROGRESS), window.progressBarHandle());
    ASSERT_EQ(::GetDlgItem(mainWindow, IDC_STATUS_TEXT), window.statusLabelHandle());
    EXPECT_EQ(windowText(window.titleLabelHandle()), L"Checking for updates...");
    EXPECT_EQ(windowText(window.statusLabelHandle()), L"Initializing...");
    EXPECT_EQ(progressPosition(window.progressBarHandle()), 0);
    EXPECT_EQ(::SendMessageW(window.progressBarHandle(), PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(::SendMessageW(window.progressBarHandle(), PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_NE(::GetWindowLongPtrW(window.titleLabelHandle(), GWL_STYLE) & SS_CENTER, 0);

    // The labels carry their own fonts, 20 and 14 units high.
    for (const auto& [label, height] :
         {std::pair{window.titleLabelHandle(), 20}, {window.statusLabelHandle(), 14}}) {
        HFONT font = reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0));
        ASSERT_NE(font, nullptr);
        LOGFONTW description{};
        ASSERT_GT(::GetObjectW(font, sizeof description, &description), 0);
        EXPECT_EQ(description.lfHeight, height);
        EXPECT_STREQ(description.lfFaceName, L"Segoe UI");
    }

    RECT rect{};
    ASSERT_TRUE(::GetWindowRect(mainWindow, &rect));
    EXPECT_EQ(rect.right - rect.left, 500);
    EXPECT_EQ(rect.bottom - rect.top, 200);
    EXPECT_EQ(rect.left, (::GetSystemMetrics(SM_CXSCREEN) - 500) / 2);
    EXPECT_EQ(rect.top, (::GetSystemMetrics(SM_CYSCREEN) - 200) / 2);

    ASSERT_NE(window.iconHandle(), nullptr);
    EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(mainWindow, WM_GETICON, ICON_BIG, 0)),
              window.iconHandle());
    EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(mainWindow, WM_GETICON, ICON_SMALL, 0)),
              window.iconHandle());

    // The labels are coloured as the system colours any static control; the window adds nothing of its own.
    HDC dc = ::GetDC(mainWindow);
    for (HWND label : {window.titleLabelHandle(), window.statusLabelHandle()}) {
        EXPECT_EQ(::SendMessageW(mainWindow, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                 reinterpret_cast<LPARAM>(label)),
                  ::DefWindowProcW(mainWindow, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                   reinterpret_cast<LPARAM>(label)));
    }
    ::ReleaseDC(mainWindow, dc);

    // The caption changes at once; each byte of the text becomes one character.
    window.setTitle("Caf\xE9 Updater");
    EXPECT_EQ(windowText(mainWindow), L"Caf\u00E9 Updater");

    window.close();
    EXPECT_EQ(window.runMessageLoop(), 0);
    EXPECT_FALSE(::IsWindow(mainWindow));
    EXPECT_TRUE(window.isClosing());
}

TEST_F(UpdaterWindowTest, SecondThreadMovesTheBarAndSetsTheStatus) {
    UpdaterWindow window;
    ASSERT_TRUE(window.create());
    HWND bar = window.progressBarHandle();
    HWND status = window.statusLabelHandle();
    const int exitCode = driveFromSecondThread(window, [&] {
        window.setProgress(42);
        EXPECT_TRUE(waitForPosition(bar, 42));
        window.setProgress(100);
        EXPECT_TRUE(waitForPosition(bar, 100));
        window.setProgress(-5);
        EXPECT_TRUE(waitForPosition(bar, 0));
        window.setProgress(150);
        EXPECT_TRUE(waitForPosition(bar, 100));
        window.setProgress(INT_MIN);
        EXPECT_TRUE(waitForPosition(bar, 0));

        window.setStatus("Downloading Updater.exe (2 of 4)");
        EXPECT_TRUE(waitForText(status, L"Downloading Updater.exe (2 of 4)"));
        window.setStatus("Caf\xE9 \x80");
        EXPECT_TRUE(waitForText(status, L"Caf\u00E9 \u0080"));
        window.setStatus("");
        EXPECT_TRUE(waitForText(status, L""));

        window.close();
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(window.isClosing());
}

TEST_F(UpdaterWindowTest, LastOfQuickStatusesWins) {
    UpdaterWindow window;
    ASSERT_TRUE(window.create());
    HWND bar = window.progressBarHandle();
    HWND status = window.statusLabelHandle();
    // Both are queued before the window handles either.
    window.setStatus("first");
    window.setStatus("second");
    const int exitCode = driveFromSecondThread(window, [&] {
        // Posted messages are handled in order: once this progress shows, both status messages were handled.
        window.setProgress(7);
        ASSERT_TRUE(waitForPosition(bar, 7));
        EXPECT_EQ(windowText(status), L"second");

        for (int index = 0; index < 200; ++index) {
            window.setStatus("status " + std::to_string(index));
        }
        window.setProgress(8);
        ASSERT_TRUE(waitForPosition(bar, 8));
        EXPECT_EQ(windowText(status), L"status 199");
        EXPECT_EQ(window.pendingStatusText(), "status 199");
        window.close();
    });
    EXPECT_EQ(exitCode, 0);
}

TEST_F(UpdaterWindowTest, FloodOfUpdatesQueuesOneMessageOfEachKindAndTheCloseRequestGetsThrough) {
    UpdaterWindow window;
    ASSERT_TRUE(window.create());
    HWND mainWindow = window.windowHandle();
    // Nobody pumps meanwhile: many more updates than the system's posted-message queue holds (10,000).
    for (int index = 0; index < 30000; ++index) {
        window.setStatus("status " + std::to_string(index));
        window.setProgress(index % 100);
    }
    window.setProgress(64);
    window.close();

    // A close request lost to a full queue would leave this loop waiting: the timer ends it then.
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 10000, nullptr);
    int statusMessages = 0;
    int progressMessages = 0;
    int closeMessages = 0;
    std::wstring statusAtClose;
    int positionAtClose = -1;
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == nullptr) {
            break;
        }
        if (message.hwnd == mainWindow) {
            statusMessages += message.message == WM_UPDATE_STATUS ? 1 : 0;
            progressMessages += message.message == WM_UPDATE_PROGRESS ? 1 : 0;
            if (message.message == WM_CLOSE_WINDOW) {
                ++closeMessages;
                // Posted messages come in order: the status and progress messages were handled by now.
                statusAtClose = windowText(window.statusLabelHandle());
                positionAtClose = progressPosition(window.progressBarHandle());
            }
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    ::KillTimer(nullptr, timer);
    EXPECT_EQ(closeMessages, 1);
    EXPECT_FALSE(::IsWindow(mainWindow));
    EXPECT_EQ(statusMessages, 1);
    EXPECT_EQ(progressMessages, 1);
    EXPECT_EQ(statusAtClose, L"status 29999");
    EXPECT_EQ(positionAtClose, 64);
}

TEST_F(UpdaterWindowTest, CallsAfterTheUserClosedTheWindowChangeNothing) {
    UpdaterWindow window;
    ASSERT_TRUE(window.create());
    HWND mainWindow = window.windowHandle();
    const int exitCode = driveFromSecondThread(window, [&] {
        window.setStatus("before close");
        ASSERT_TRUE(waitForText(window.statusLabelHandle(), L"before close"));

        ::PostMessageW(mainWindow, WM_CLOSE, 0, 0); // the close button
        ASSERT_TRUE(waitUntil([&] { return !::IsWindow(mainWindow); }));
        EXPECT_TRUE(window.isClosing());

        window.setStatus("too late");
        window.setProgress(90);
        window.close();
        EXPECT_EQ(window.pendingStatusText(), "before close");
    });
    EXPECT_EQ(exitCode, 0);

    // After the loop has ended too: still nothing happens and nothing fails.
    window.setTitle("too late");
    window.setStatus("too late");
    window.setProgress(10);
    window.close();
    EXPECT_EQ(window.pendingStatusText(), "before close");
    MSG message{};
    EXPECT_FALSE(::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(UpdaterWindowTest, SecondCreateInTheSameProcessFails) {
    UpdaterWindow first;
    ASSERT_TRUE(first.create());
    {
        UpdaterWindow second;
        EXPECT_FALSE(second.create());
        EXPECT_EQ(second.windowHandle(), nullptr);
        // Operations on a window that never existed do nothing.
        second.setStatus("nothing");
        second.setProgress(50);
        second.close();
        EXPECT_EQ(second.pendingStatusText(), "");
    }
    EXPECT_TRUE(::IsWindow(first.windowHandle()));
    first.close();
    EXPECT_EQ(first.runMessageLoop(), 0);

    // The class stays registered after the first window is gone.
    UpdaterWindow third;
    EXPECT_FALSE(third.create());
}

TEST_F(UpdaterWindowTest, CallbackForwardsReportsAndErrorsLeaveTheBarAlone) {
    UpdaterWindow window;
    ASSERT_TRUE(window.create());
    HWND bar = window.progressBarHandle();
    HWND status = window.statusLabelHandle();
    UIProgressCallback callback(&window);
    IProgressCallback& reports = callback;
    const int exitCode = driveFromSecondThread(window, [&] {
        reports.onStatus("Initializing update client...");
        reports.onProgress(37);
        EXPECT_TRUE(waitForText(status, L"Initializing update client..."));
        EXPECT_TRUE(waitForPosition(bar, 37));

        reports.onError("Updater.exe not found");
        EXPECT_TRUE(waitForText(status, L"Error: Updater.exe not found"));
        EXPECT_EQ(progressPosition(bar), 37);
        window.close();
    });
    EXPECT_EQ(exitCode, 0);
}

TEST_F(UpdaterWindowTest, FailedCompletionShowsItsTextAndAFullBarForASecondThenCloses) {
    UpdaterWindow window;
    ASSERT_TRUE(window.create());
    HWND mainWindow = window.windowHandle();
    HWND bar = window.progressBarHandle();
    HWND status = window.statusLabelHandle();
    UIProgressCallback callback(&window);
    long long completionMilliseconds = 0;
    long long lateCompletionMilliseconds = 0;
    const int exitCode = driveFromSecondThread(window, [&] {
        callback.onProgress(20);
        ASSERT_TRUE(waitForPosition(bar, 20));

        const Clock::time_point start = Clock::now();
        std::thread updateThread([&] {
            callback.onComplete(false);
            completionMilliseconds = millisecondsSince(start);
        });
        EXPECT_TRUE(waitForText(status, L"Update failed!"));
        EXPECT_TRUE(waitForPosition(bar, 100));
        EXPECT_TRUE(::IsWindow(mainWindow)); // still up while the final text shows
        EXPECT_TRUE(waitUntil([&] { return !::IsWindow(mainWindow); }));
        updateThread.join();

        // A second completion after the window closed still waits its second and shows nothing.
        const Clock::time_point lateStart = Clock::now();
        callback.onComplete(true);
        lateCompletionMilliseconds = millisecondsSince(lateStart);
        EXPECT_EQ(window.pendingStatusText(), "Update failed!");
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_GE(completionMilliseconds, 950);
    EXPECT_GE(lateCompletionMilliseconds, 950);
}

TEST_F(UpdaterWindowTest, SuccessfulCompletionShowsTheSuccessText) {
    UpdaterWindow window;
    ASSERT_TRUE(window.create());
    HWND mainWindow = window.windowHandle();
    UIProgressCallback callback(&window);
    const int exitCode = driveFromSecondThread(window, [&] {
        std::thread updateThread([&] { callback.onComplete(true); });
        EXPECT_TRUE(waitForText(window.statusLabelHandle(), L"Update completed successfully!"));
        EXPECT_TRUE(waitForPosition(window.progressBarHandle(), 100));
        EXPECT_TRUE(waitUntil([&] { return !::IsWindow(mainWindow); }));
        updateThread.join();
    });
    EXPECT_EQ(exitCode, 0);
}

TEST(UIProgressCallbackWithoutWindow, AcceptsEveryReportAndDoesNothing) {
    UIProgressCallback callback(nullptr);
    const Clock::time_point start = Clock::now();
    callback.onProgress(50);
    callback.onStatus("status");
    callback.onError("error");
    callback.onComplete(false);
    callback.onComplete(true);
    EXPECT_LT(millisecondsSince(start), 500); // no pause either: there is nothing to show
}
