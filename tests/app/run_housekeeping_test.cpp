// What a run does so that runs of one installation neither collide nor pile up: its own temporary folder,
// the left-overs of ended runs, the bounded wait of the hand-over copy and the pinned, checked start.

#include "app/run_housekeeping_win.h"
#include "core/instance_lock.h"
#include "core/handles_win.h"
#include "selfupdate/preflight_observer.h"
#include "selfupdate/self_replacement_win.h"
#include "selfupdate/verified_launch_win.h"
#include "support/log_lines.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <optional>

using namespace vesk::updater;
using vesk::test::fileExists;
using vesk::test::TempDir;
using vesk::test::writeFileBytes;

namespace {

FileHandle openShared(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return FileHandle(::CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
}

} // namespace

TEST(RunDecisions, LockNamesAndDownloadShares) {
    // One installation, one name, however its folder is spelled; another folder, another name.
    const std::wstring name = instanceLockName("C:\\Program Files\\VESK");
    EXPECT_EQ(name.find(L'\\', 7), std::wstring::npos) << "no backslash after the namespace";
    for (const char* same : {"c:\\program files\\vesk\\", "C:/Program Files/VESK/"}) {
        EXPECT_EQ(instanceLockName(same), name) << same;
    }
    EXPECT_NE(instanceLockName("C:\\Program Files\\VESK2"), name);
    // The bar: unknown or empty totals leave it empty, more than announced fills it, no overflow.
    EXPECT_EQ(downloadPercent(50, 200), 25);
    EXPECT_EQ(downloadPercent(10, std::nullopt), 0);
    EXPECT_EQ(downloadPercent(10, 0), 0);
    EXPECT_EQ(downloadPercent(300, 200), 100);
    EXPECT_EQ(downloadPercent(UINT64_MAX / 2, UINT64_MAX), 50);
}

TEST(RunHousekeeping, EndedRunsFoldersGoLivingOnesStayAndTheNewRunHoldsItsOwn) {
    TempDir parent;
    const std::string runs = parent.path() + "\\" + kRunFoldersName + "\\";
    // A living run (this process, for now) and what ended runs left beside it.
    ASSERT_EQ(prepareRunFolder(parent.path() + "\\", 3), runs + "run-3\\");
    ASSERT_TRUE(writeFileBytes(runs + "run-3\\ves3.tmp", "in use"));
    ASSERT_TRUE(::CreateDirectoryA((runs + "run-1").c_str(), nullptr));
    ASSERT_TRUE(writeFileBytes(runs + "run-1\\" + kRunOwnerFileName, ""));
    ASSERT_TRUE(writeFileBytes(runs + "run-1\\ves1.tmp", "a partial download"));
    ASSERT_TRUE(::CreateDirectoryA((runs + "run-2").c_str(), nullptr));
    ASSERT_TRUE(writeFileBytes(runs + "run-2\\ves2.tmp", "its owner file never got made"));
    ASSERT_TRUE(writeFileBytes(runs + "stray.tmp", "not a run folder"));

    const std::string own = prepareRunFolder(parent.path() + "\\", 4);
    EXPECT_EQ(own, runs + "run-4\\");
    EXPECT_FALSE(fileExists(runs + "run-1"));
    EXPECT_FALSE(fileExists(runs + "run-2"));
    EXPECT_FALSE(fileExists(runs + "stray.tmp"));
    EXPECT_TRUE(fileExists(runs + "run-3\\ves3.tmp"));
    // This run's own folder is held for as long as it lives.
    EXPECT_FALSE(openShared(own + kRunOwnerFileName, GENERIC_READ, 0, OPEN_EXISTING).valid());
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST(RunHousekeeping, LeftOversOfEndedRunsLeaveTheInstallFolderAndTheCopyOnlyWhenNoHandOverRuns) {
    for (const bool withCopy : {false, true}) {
        TempDir install;
        ASSERT_TRUE(::CreateDirectoryA(install.file("update").c_str(), nullptr));
        for (const char* name : {"libcurl.dll.tmp_preflight", "Updater.exe.tmp_preflight", "VESK_Updater.exe.tmp",
                                 "update\\VESK_Updater.exe", "libcurl.dll", "backup.txt"}) {
            ASSERT_TRUE(writeFileBytes(install.file(name), "x"));
        }
        vesk::test::ProcessLogTail log;
        removeInstallLeftovers(install.path(), withCopy);
        EXPECT_FALSE(fileExists(install.file("libcurl.dll.tmp_preflight")));
        EXPECT_FALSE(fileExists(install.file("Updater.exe.tmp_preflight")));
        EXPECT_FALSE(fileExists(install.file("VESK_Updater.exe.tmp")));
        EXPECT_EQ(fileExists(install.file("update\\VESK_Updater.exe")), !withCopy);
        EXPECT_TRUE(fileExists(install.file("libcurl.dll")));
        EXPECT_TRUE(fileExists(install.file("backup.txt")));
        EXPECT_EQ(log.entries().size(), withCopy ? 4u : 3u);
        EXPECT_EQ(log.entries().back(),
                  withCopy ? "INFO Removing left-over self-update copy: " + install.file("update\\VESK_Updater.exe")
                           : "INFO Removing left-over download: " + install.file("VESK_Updater.exe.tmp"));
    }
}

TEST(RunHousekeeping, APinnedProgramMatchesItsSignedDigestAndCannotChangeUntilReleased) {
    TempDir folder;
    const std::string program = folder.file("Updater.exe");
    ASSERT_TRUE(writeFileBytes(program, "the signed bytes"));
    const std::string digest = vesk::test::sha256Hex("the signed bytes");
    const std::string refused = "ERROR Not starting Updater.exe: ";
    const std::pair<std::string, std::string> cases[] = {
        {vesk::test::toUpperCase(digest), ""},
        {"", refused + "the signed manifest gives no sha256 for it"},
        {std::string(64, '0'), refused + "its SHA-256 " + digest.substr(0, 16) +
                                   "... does not match the signed manifest's 0000000000000000..."},
    };
    for (const auto& [expected, logged] : cases) {
        vesk::test::ProcessLogTail log;
        std::optional<PinnedFile> pin = pinMatchingFile(program, expected, "Updater.exe");
        EXPECT_EQ(pin.has_value(), logged.empty()) << logged;
        EXPECT_EQ(log.entries(), logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{logged});
        if (pin) {
            // Nobody can write, rename or delete it while it is pinned; reading it still works.
            EXPECT_FALSE(openShared(program, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
            EXPECT_FALSE(::MoveFileA(program.c_str(), folder.file("moved.exe").c_str()));
            EXPECT_TRUE(openShared(program, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING).valid());
            pin.reset();
            EXPECT_TRUE(openShared(program, GENERIC_WRITE, 0, OPEN_EXISTING).valid());
        }
    }
}

TEST(RunHousekeeping, TheCopyGivesUpOnAPredecessorThatDoesNotEndAndReplacesNothing) {
    TempDir install;
    ASSERT_TRUE(writeFileBytes(install.file("VESK_Updater.exe"), "installed"));
    UpdateSources sources;
    sources.installDirectory = [&] { return install.path(); };
    sources.baseUrls = [] { return std::vector<std::string>{"http://127.0.0.1:9"}; };
    sources.defaultBaseUrl = "http://127.0.0.1:9";
    vesk::test::ProcessLogTail log;
    // This very process stands for a predecessor that never ends.
    const DWORD self = ::GetCurrentProcessId();
    EXPECT_EQ(runRestartStart("", self, sources, std::chrono::seconds(1)), 1);
    const std::string id = std::to_string(self);
    EXPECT_EQ(log.entries(), (std::vector<std::string>{
                                 "INFO === Self-Update Flow: restart-start mode ===",
                                 "INFO Waiting for process " + id + " to quit",
                                 "ERROR Process " + id + " did not quit within 1 seconds - VESK_Updater.exe is left as it is"}));
    EXPECT_EQ(vesk::test::readFileBytes(install.file("VESK_Updater.exe")), "installed");
}
