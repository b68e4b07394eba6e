#include "core/handles_win.h"
#include "support/log_lines.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "support/window_probe_win.h"
#include "ui/updater_window_win.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <set>
#include <vector>

using namespace vesk::updater;
using vesk::test::TempDir;
using vesk::test::windowText;
using Lines = std::vector<std::string>;

namespace {

// A copy of the built program in a fresh folder, started as a child process.
class InstalledProgram {
public:
    explicit InstalledProgram(const std::string& arguments) {
        exePath_ = dir_.file("VESK_Updater.exe");
        copied_ = ::CopyFileA(VESK_UPDATER_EXE, exePath_.c_str(), FALSE) != 0;
        if (!copied_) {
            return;
        }
        std::string commandLine = "\"" + exePath_ + "\"";
        if (!arguments.empty()) {
            commandLine += " " + arguments;
        }
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (::CreateProcessA(exePath_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             dir_.path().c_str(), &startup, &info)) {
            process_ = ProcessHandles::adopt(info);
            processId_ = info.dwProcessId;
        }
    }

    ~InstalledProgram() {
        if (process_.process && ::WaitForSingleObject(process_.process.get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(process_.process.get(), 99);
            ::WaitForSingleObject(process_.process.get(), 10000);
        }
    }

    bool started() const { return copied_ && process_.process.valid(); }

    // The program's window once it is up; null if it did not appear or the program ended first.
    HWND waitForWindow() {
        HWND window = nullptr;
        vesk::test::waitUntil(
            [&] {
                window = vesk::test::findProcessWindow(processId_, kUpdaterWindowClass);
                return window != nullptr || ::WaitForSingleObject(process_.process.get(), 0) == WAIT_OBJECT_0;
            },
            std::chrono::seconds(60));
        return window;
    }

    // The exit code, or -1 when the program did not end in time.
    long long waitForExit() {
        if (::WaitForSingleObject(process_.process.get(), 60000) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD exitCode = 0;
        ::GetExitCodeProcess(process_.process.get(), &exitCode);
        return exitCode;
    }

    std::string logBytes() const { return vesk::test::readFileBytes(dir_.file("logs\\ui_logs.log")); }

private:
    TempDir dir_;
    std::string exePath_;
    bool copied_ = false;
    ProcessHandles process_;
    DWORD processId_ = 0;
};

// Every line must have the full prefix and end with CR LF; returns "LEVEL message" per line.
Lines checkedLogEntries(const std::string& bytes) {
    Lines entries;
    EXPECT_GE(bytes.size(), 2u);
    if (bytes.size() < 2) {
        return entries;
    }
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    for (std::size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', at + 1)) {
        EXPECT_TRUE(at > 0 && bytes[at - 1] == '\r') << "bare line feed at byte " << at;
    }
    for (const std::string& line : vesk::test::splitCrLfLines(bytes)) {
        const std::string entry = vesk::test::levelAndMessage(line);
        EXPECT_FALSE(entry.empty()) << "badly laid out line: " << line;
        entries.push_back(entry.empty() ? line : entry);
    }
    return entries;
}

Lines normalRunLog(const std::string& commandLineText, const std::string& channelWord,
                   bool channelConfirmed) {
    Lines lines{
        "INFO === VESK_Updater.exe Starting ===",
        "INFO === Phase 1: Manifest Download & Core File Verification ===",
        "INFO Command line: " + commandLineText,
        "INFO Past admin elevation.",
        "INFO Preflight channel: " + channelWord,
        "INFO Downloading manifest and checking core updater files...",
        "INFO Core file verification completed - proceeding with normal startup",
        "INFO === Phase 2: Command Line Processing & Normal Workflow ===",
        "INFO Full command line processing...",
    };
    if (channelConfirmed) {
        lines.push_back("INFO Update channel confirmed: " + channelWord);
    }
    for (const char* line :
         {"INFO Now run the update thread for normal workflow", "INFO UI initialized successfully",
          "INFO Starting update thread for normal workflow", "DEBUG Starting UI message loop",
          "INFO VESK_Updater.exe exiting with code: 0"}) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST(Startup, WithoutArgumentsShowsTheCentredWindowAndExitsWithZeroWhenClosed) {
    InstalledProgram program("");
    ASSERT_TRUE(program.started());
    HWND window = program.waitForWindow();
    ASSERT_NE(window, nullptr) << "the window did not appear";

    EXPECT_EQ(windowText(window), L"VESK Updater");
    EXPECT_EQ(windowText(::GetDlgItem(window, IDC_TITLE_TEXT)), L"Checking for updates...");
    EXPECT_EQ(windowText(::GetDlgItem(window, IDC_STATUS_TEXT)), L"Initializing...");
    EXPECT_EQ(vesk::test::progressPosition(::GetDlgItem(window, IDC_PROGRESS)), 0);

    RECT rect{};
    ASSERT_TRUE(::GetWindowRect(window, &rect));
    EXPECT_EQ(rect.right - rect.left, 500);
    EXPECT_EQ(rect.bottom - rect.top, 200);
    EXPECT_EQ(rect.left, (::GetSystemMetrics(SM_CXSCREEN) - 500) / 2);
    EXPECT_EQ(rect.top, (::GetSystemMetrics(SM_CYSCREEN) - 200) / 2);

    // Without an update to run, the window stays until the user closes it.
    EXPECT_TRUE(::IsWindow(window));
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(checkedLogEntries(program.logBytes()), normalRunLog("(none)", "stable", false));
}

TEST(Startup, CommandLineArrivesWithoutTheProgramName) {
    InstalledProgram program("-c beta --restart-done");
    ASSERT_TRUE(program.started());
    HWND window = program.waitForWindow();
    ASSERT_NE(window, nullptr) << "the window did not appear";
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.waitForExit(), 0);
    EXPECT_EQ(checkedLogEntries(program.logBytes()), normalRunLog("-c beta --restart-done", "beta", true));
}

TEST(Startup, ExecutableCarriesItsIconGroupAndAdministratorManifest) {
    const std::string path = VESK_UPDATER_EXE;
    HMODULE module = ::LoadLibraryExW(std::wstring(path.begin(), path.end()).c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);

    // The icon group: five images of 64, 48, 32, 24 and 16 pixels, 32 bits per pixel.
    HRSRC group = ::FindResourceW(module, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */);
    ASSERT_NE(group, nullptr);
    const auto* bytes = static_cast<const unsigned char*>(::LockResource(::LoadResource(module, group)));
    ASSERT_NE(bytes, nullptr);
    ASSERT_GE(::SizeofResource(module, group), 6u);
    const unsigned count = bytes[4] | (bytes[5] << 8);
    ASSERT_EQ(count, 5u);
    ASSERT_GE(::SizeofResource(module, group), 6u + 14u * count);
    std::multiset<int> sizes;
    for (unsigned index = 0; index < count; ++index) {
        const unsigned char* entry = bytes + 6 + 14 * index;
        sizes.insert(entry[0] == 0 ? 256 : entry[0]);
        EXPECT_EQ(entry[0], entry[1]);
        EXPECT_EQ(entry[6] | (entry[7] << 8), 32) << "bits per pixel of image " << index;
    }
    EXPECT_EQ(sizes, (std::multiset<int>{16, 24, 32, 48, 64}));

    // Exactly one application manifest, asking for administrator rights and common controls 6.
    HRSRC manifest = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24) /* RT_MANIFEST */);
    ASSERT_NE(manifest, nullptr);
    const std::string text(static_cast<const char*>(::LockResource(::LoadResource(module, manifest))),
                           ::SizeofResource(module, manifest));
    EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    int manifests = 0;
    ::EnumResourceNamesW(
        module, MAKEINTRESOURCEW(24),
        [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR counter) -> BOOL {
            ++*reinterpret_cast<int*>(counter);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&manifests));
    EXPECT_EQ(manifests, 1);

    // The window takes that icon before any file.
    TempDir dir;
    const WindowIcon choice = chooseWindowIcon(module, std::wstring(dir.path().begin(), dir.path().end()));
    EXPECT_EQ(choice.source, WindowIconSource::Resource);
    EXPECT_NE(choice.icon, nullptr);
    EXPECT_FALSE(choice.owned);
    ::FreeLibrary(module);
}
