#include "core/handles_win.h"
#include "integrity/file_hash.h"
#include "support/console_simulator.h"
#include "support/default_port_server.h"
#include "support/http_test_server.h"
#include "support/log_follower.h"
#include "support/log_lines.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "support/window_probe_win.h"
#include "transfer/http_download.h"
#include "ui/updater_window_win.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace vesk::updater;
using vesk::test::HttpTestServer;
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

    bool ended() const { return ::WaitForSingleObject(process_.process.get(), 0) == WAIT_OBJECT_0; }

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

std::string messageOf(const std::string& entry) {
    const std::size_t space = entry.find(' ');
    return space == std::string::npos ? entry : entry.substr(space + 1);
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The lines the entry routine itself writes, recognised by their message whatever their level, so that a
// wrong level, a missing or an extra line of the entry routine still shows. The preflight and the update
// thread write between them.
Lines entryRoutineLines(const Lines& entries) {
    static const std::set<std::string> fixed{
        "=== VESK_Updater.exe Starting ===",
        "=== Phase 1: Manifest Download & Core File Verification ===",
        "Past admin elevation.",
        "Downloading manifest and checking core updater files...",
        "Core file verification completed - proceeding with normal startup",
        "=== Phase 2: Command Line Processing & Normal Workflow ===",
        "Full command line processing...",
        "Self-update processing flag detected",
        "Processing self-update request...",
        "Not elevated - requesting elevation for self-update",
        "Restarted with elevation - exiting current instance",
        "Failed to restart with elevation",
        "Elevated - processing self-update now",
        "Now run the update thread for normal workflow",
        "Failed to initialize UI",
        "UI initialized successfully",
        "Starting update thread for normal workflow",
        "Starting UI message loop",
    };
    static const char* const prefixes[] = {
        "Command line: ", "Preflight channel: ", "Update channel confirmed: ",
        "VESK_Updater.exe exiting with code: "};
    Lines lines;
    for (const std::string& entry : entries) {
        const std::string message = messageOf(entry);
        bool own = fixed.count(message) != 0;
        for (const char* prefix : prefixes) {
            own = own || startsWith(message, prefix);
        }
        if (own) {
            lines.push_back(entry);
        }
    }
    return lines;
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

// The lines between two entries of the log (both excluded); empty when either is missing.
Lines linesBetween(const Lines& entries, const std::string& first, const std::string& last) {
    const auto from = std::find(entries.begin(), entries.end(), first);
    if (from == entries.end()) {
        return {};
    }
    const auto to = std::find(from + 1, entries.end(), last);
    return to == entries.end() ? Lines{} : Lines(from + 1, to);
}

// What the window showed at one moment.
struct Sample {
    std::wstring title;
    std::wstring status;
    int progress = -1;
    bool operator==(const Sample&) const = default;
};

// Watches the program's window from its appearance until the program ends, keeping every change.
struct WindowWatch {
    std::wstring caption;
    RECT rect{};
    std::vector<Sample> samples;
};

WindowWatch watchUntilExit(InstalledProgram& program, HWND window) {
    WindowWatch watch;
    watch.caption = windowText(window);
    ::GetWindowRect(window, &watch.rect);
    vesk::test::waitUntil(
        [&] {
            const HWND title = ::GetDlgItem(window, IDC_TITLE_TEXT);
            const HWND status = ::GetDlgItem(window, IDC_STATUS_TEXT);
            const HWND bar = ::GetDlgItem(window, IDC_PROGRESS);
            if (title && status && bar) {
                Sample sample{windowText(title), windowText(status), vesk::test::progressPosition(bar)};
                // Controls destroyed while they were read give empty answers: keep only what live ones said.
                const bool live = ::IsWindow(title) && ::IsWindow(status) && ::IsWindow(bar);
                if (live && (watch.samples.empty() || !(watch.samples.back() == sample))) {
                    watch.samples.push_back(sample);
                }
            }
            return program.ended();
        },
        std::chrono::seconds(60));
    return watch;
}

std::string describe(const WindowWatch& watch, const Lines& log) {
    std::string text = "window:\n";
    for (const Sample& sample : watch.samples) {
        text += "  [" + std::to_string(sample.progress) + "] ";
        for (const wchar_t unit : sample.status) {
            text.push_back(static_cast<char>(unit & 0xFF));
        }
        text += "\n";
    }
    text += "log:\n";
    for (const std::string& line : log) {
        text += "  " + line + "\n";
    }
    return text;
}

// Without Updater.exe beside it the update cannot run: the window goes through these statuses (some may pass
// too quickly to be seen) and ends on the failure, with a full bar, until it closes itself.
void expectFailedUpdateShown(const WindowWatch& watch, const Lines& log) {
    const std::vector<std::wstring> order{
        L"Checking updater files...",
        L"Initializing...",
        L"Initializing update client...",
        L"Console updater not found - downloading...",
        L"Error: Could not find Updater.exe console version. Please ensure it's in the same directory.",
        L"Update failed!",
    };
    ASSERT_FALSE(watch.samples.empty());
    std::size_t next = 0;
    for (const Sample& sample : watch.samples) {
        EXPECT_EQ(sample.title, L"Checking for updates...");
        const auto at =
            std::find(order.begin() + static_cast<std::ptrdiff_t>(next), order.end(), sample.status);
        EXPECT_NE(at, order.end()) << "unexpected or out-of-order status\n" << describe(watch, log);
        if (at != order.end()) {
            next = static_cast<std::size_t>(at - order.begin());
        }
    }
    EXPECT_EQ(watch.samples.back().status, L"Update failed!") << describe(watch, log);
    EXPECT_EQ(watch.samples.back().progress, 100) << describe(watch, log);
}

// The update thread's part of the run: it fetches nothing from the server, which is down, finds no console
// updater and reports the failure; the program's last line comes after all of it.
void expectFailedUpdateLogged(const Lines& entries, const std::string& channelWord,
                              const std::string& manifestPath) {
    EXPECT_TRUE(vesk::test::containsInOrder(
        entries, {"INFO Starting update thread for normal workflow", "INFO === Update Thread Starting ===",
                  "INFO Channel for update: " + channelWord, "INFO Update client initialized successfully",
                  "INFO Built manifest URL: " VESK_TEST_DEFAULT_BASE_URL + manifestPath,
                  "WARNING Console updater not found - attempting download via preflight",
                  "ERROR Could not find or download Updater.exe console version",
                  "INFO Update process completed with result: FAILURE", "INFO Update thread completed",
                  "INFO VESK_Updater.exe exiting with code: 0"}));
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), "INFO VESK_Updater.exe exiting with code: 0");
}

// The start-up preflight runs between the entry routine's two lines around it, for the channel given.
Lines startupPreflightLines(const std::string& channelWord, const std::string& manifestPath) {
    return {
        "INFO === Preflight Update Starting ===",
        "INFO Channel: " + channelWord,
        "INFO Downloading manifest from: " VESK_TEST_DEFAULT_BASE_URL + manifestPath,
        "WARNING Failed to download manifest - skipping preflight update",
    };
}

// The lines without the retries of the dropped manifest request, whose waits are drawn at random.
Lines withoutRetries(Lines lines) {
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& line) { return line.rfind("INFO Retrying ", 0) == 0; }),
                lines.end());
    return lines;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        // The test build's built-in update server is a fixed loopback address. These tests serve it
        // themselves, so that the program's downloads fail the same way on every run whatever else runs on
        // this machine.
        server = vesk::test::serverOnDefaultPort(std::chrono::minutes(5));
        ASSERT_NE(server, nullptr) << "the built-in server's port " VESK_TEST_DEFAULT_BASE_URL " stayed busy";
        // The download of a manifest fails as against a server that is down.
        vesk::test::ScriptedResponse down;
        down.dropWithoutResponse = true;
        server->respond("/manifest.json", down);
        server->respond("/manifest-beta.json", down);
    }

    // The paths the program under test asked for. Other test runs on this machine may start a program that
    // reaches this port too; the program under test names itself by its own hash in the user agent.
    Lines ownRequestedPaths() const {
        const std::string ownAgent = downloadUserAgent(computeFileSha256(VESK_UPDATER_EXE));
        Lines paths;
        for (const vesk::test::RecordedRequest& request : server->requests()) {
            if (request.userAgent == ownAgent) {
                paths.push_back(request.path);
            }
        }
        return paths;
    }

    std::unique_ptr<HttpTestServer> server;
};

} // namespace

TEST_F(Startup, WithoutArgumentsShowsTheCentredWindowUntilTheFailedUpdateClosesItAndExitsWithZero) {
    InstalledProgram program("");
    ASSERT_TRUE(program.started());
    HWND window = program.waitForWindow();
    ASSERT_NE(window, nullptr) << "the window did not appear";
    const WindowWatch watch = watchUntilExit(program, window);
    EXPECT_EQ(program.waitForExit(), 0);
    const Lines entries = checkedLogEntries(program.logBytes());

    EXPECT_EQ(watch.caption, L"VESK Updater");
    EXPECT_EQ(watch.rect.right - watch.rect.left, 500);
    EXPECT_EQ(watch.rect.bottom - watch.rect.top, 200);
    EXPECT_EQ(watch.rect.left, (::GetSystemMetrics(SM_CXSCREEN) - 500) / 2);
    EXPECT_EQ(watch.rect.top, (::GetSystemMetrics(SM_CYSCREEN) - 200) / 2);
    expectFailedUpdateShown(watch, entries);

    EXPECT_EQ(entryRoutineLines(entries), normalRunLog("(none)", "stable", false))
        << describe(watch, entries);
    EXPECT_EQ(withoutRetries(linesBetween(entries, "INFO Downloading manifest and checking core updater files...",
                                          "INFO Core file verification completed - proceeding with normal startup")),
              startupPreflightLines("stable", "/manifest.json"));
    expectFailedUpdateLogged(entries, "stable", "/manifest.json");
    // The manifest was asked for twice, each time with two retries of the dropped connection: by the
    // start-up preflight and when the update looked for the missing console updater.
    EXPECT_EQ(ownRequestedPaths(), Lines(6, "/manifest.json"));
}

TEST_F(Startup, CommandLineArrivesWithoutTheProgramNameAndItsChannelReachesEveryStep) {
    InstalledProgram program("-c beta --restart-done");
    ASSERT_TRUE(program.started());
    HWND window = program.waitForWindow();
    ASSERT_NE(window, nullptr) << "the window did not appear";
    const WindowWatch watch = watchUntilExit(program, window);
    EXPECT_EQ(program.waitForExit(), 0);
    const Lines entries = checkedLogEntries(program.logBytes());

    expectFailedUpdateShown(watch, entries);
    EXPECT_EQ(entryRoutineLines(entries), normalRunLog("-c beta --restart-done", "beta", true))
        << describe(watch, entries);
    // The restart-done clean-up ran after the elevation check and before the preflight.
    EXPECT_TRUE(vesk::test::containsInOrder(
        entries, {"INFO Past admin elevation.", "INFO === Self-Update Flow: restart-done mode ===",
                  "INFO Self-update cleanup completed - proceeding with normal execution",
                  "INFO Preflight channel: beta"}));
    EXPECT_EQ(withoutRetries(linesBetween(entries, "INFO Downloading manifest and checking core updater files...",
                                          "INFO Core file verification completed - proceeding with normal startup")),
              startupPreflightLines("beta", "/manifest-beta.json"));
    expectFailedUpdateLogged(entries, "beta", "/manifest-beta.json");
    EXPECT_EQ(ownRequestedPaths(), Lines(6, "/manifest-beta.json"));
}

TEST(ProgramFile, CarriesItsIconGroupAndAdministratorManifest) {
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
