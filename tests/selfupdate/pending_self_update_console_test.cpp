// Runs the deferred self-update in a real child process with its own console, the way the program does:
// the final key prompt does not wait when standard input is not a console, and a process killed at any
// step leaves files the next run completes.
#include "pending_test_helpers.h"
#include "support/child_input_win.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"

#include <map>
#include <tuple>

#include <gtest/gtest.h>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

const char kRecordKey[] = "SOFTWARE\\VESK\\Updater";
const char kManifestValue[] = "PendingSelfUpdateManifest";
const char kTimestampValue[] = "PendingSelfUpdateTimestamp";

class PendingSelfUpdateConsole : public ::testing::Test {
protected:
    void TearDown() override {
        deleteMachineValue(kRecordKey, kManifestValue);
        deleteMachineValue(kRecordKey, kTimestampValue);
    }

    // One file that will be put in place, so the run ends at the key prompt.
    void prepareOneFile() {
        install = dir.file("install");
        ASSERT_TRUE(::CreateDirectoryA(install.c_str(), nullptr));
        source = dir.file("new.dll");
        target = install + "\\new.dll";
        ASSERT_TRUE(writeFileBytes(source, "fresh"));
        const std::string manifestPath = dir.file("pending.json");
        ASSERT_TRUE(writeFileBytes(manifestPath, "{\"install_directory\": \"" + jsonEscape(install) +
                                                     "\", \"files\": [{\"source_path\": \"" +
                                                     jsonEscape(source) +
                                                     "\", \"target_name\": \"new.dll\", \"target_path\": \"" +
                                                     jsonEscape(target) + "\", \"expected_size\": 5}]}"));
        ASSERT_TRUE(setMachineString(kRecordKey, kManifestValue, manifestPath));
        ASSERT_TRUE(setMachineString(kRecordKey, kTimestampValue, "t"));
    }

    DetachedRun runWithInput(HANDLE input) const {
        std::string commandLine = "\"";
        commandLine += executableDirectory();
        commandLine += "\\pending_self_update_runner.exe\"";
        return runDetachedWithInput(commandLine, "", input, 60s);
    }

    TempDir dir;
    std::string install;
    std::string source;
    std::string target;
};

} // namespace

TEST_F(PendingSelfUpdateConsole, APipeThatNeverDeliversDoesNotHoldThePrompt) {
    prepareOneFile();
    const SilentInputPipe input;

    const DetachedRun run = runWithInput(input.childEnd());

    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.ended) << "the run was still waiting at the prompt";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(readFileBytes(target), "fresh");
    EXPECT_FALSE(fileExists(source));
    EXPECT_FALSE(machineValueExists(kRecordKey, kManifestValue));
}

TEST_F(PendingSelfUpdateConsole, AKillAtAnyStepLeavesWholeFilesAndTheNextRunFinishes) {
    // A is larger than one copy chunk, so a kill while copying it stops in the middle of the file.
    const std::map<std::string, std::string> versions = {{std::string(150000, 'o'), "old A"},
                                                         {std::string(200000, 'n'), "new A"},
                                                         {"old B", "old B"},
                                                         {"new B", "new B"},
                                                         {"earlier", "earlier"}};
    // Which version a file holds, in a word; anything else is a mix or a part of one.
    const auto version = [&](const std::string& path) -> std::string {
        const auto found = versions.find(readFileBytes(path));
        return !fileExists(path) ? "missing" : found == versions.end() ? "partial" : found->second;
    };
    const auto isOneOf = [&](const std::string& path, const std::string& allowed) {
        return allowed.find("|" + version(path) + "|") != std::string::npos;
    };
    const std::pair<bool, const char*> cases[] = {
        {false, "backup-written"}, {false, "placed"},      {false, "backup-placed:2"}, {false, "files-done"},
        {true, "backup-placed"},   {true, "copy-started"}, {true, "copy-written"},     {true, "placed"},
        {true, "copy-started:2"},  {true, "placed:2"},
    };
    for (const auto& [otherVolume, stopAt] : cases) {
        SCOPED_TRACE(std::string(otherVolume ? "other volume, " : "same volume, ") + stopAt);
        TempDir run;
        // A tmpfs folder: a rename from the temporary folder into it crosses file systems, as one to another
        // drive does on Windows (so does a drive letter linked to it in the prefix's dosdevices folder).
        const std::string shm = "Z:\\dev\\shm\\vesk-pending-" + std::to_string(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryA(shm.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
        const std::string staging = otherVolume ? shm : run.path();
        install = run.file("install");
        const std::string a = install + "\\a.dll", b = install + "\\b.dll";
        const std::string backupA = install + "\\backup\\a.dll.backup",
                          backupB = install + "\\backup\\b.dll.backup";
        ASSERT_TRUE(::CreateDirectoryA(install.c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryA((install + "\\backup").c_str(), nullptr));
        std::string files;
        for (const auto& [path, name, bytes] :
             {std::tuple{a, "a", std::string(200000, 'n')}, {b, "b", "new B"}}) {
            ASSERT_TRUE(writeFileBytes(path, name == std::string("a") ? std::string(150000, 'o') : "old B"));
            ASSERT_TRUE(writeFileBytes(staging + "\\" + name + ".new", bytes));
            files += std::string(files.empty() ? "" : ", ") + "{\"source_path\": \"" +
                     jsonEscape(staging + "\\" + name + ".new") + "\", \"target_name\": \"" + name +
                     ".dll\", \"target_path\": \"" + jsonEscape(path) + "\", \"expected_sha256\": \"" +
                     sha256Hex(bytes) + "\"}";
        }
        ASSERT_TRUE(writeFileBytes(backupA, "earlier"));
        const std::string manifestPath = run.file("pending.json");
        ASSERT_TRUE(writeFileBytes(manifestPath, "{\"install_directory\": \"" + jsonEscape(install) +
                                                     "\", \"files\": [" + files + "]}"));
        ASSERT_TRUE(setMachineString(kRecordKey, kManifestValue, manifestPath));
        ASSERT_TRUE(setMachineString(kRecordKey, kTimestampValue, "t"));

        const SilentInputPipe input;
        ::SetEnvironmentVariableA("VESK_PENDING_STOP_AT", stopAt);
        const DetachedRun killed = runWithInput(input.childEnd());
        ::SetEnvironmentVariableA("VESK_PENDING_STOP_AT", nullptr);
        ASSERT_TRUE(killed.ended);
        EXPECT_EQ(killed.exitCode, 99u) << "the run never reached the step";
        // Whole files only: each target and each backup is one of the versions it may be, never a mix.
        EXPECT_TRUE(isOneOf(a, "|old A|new A|")) << version(a);
        EXPECT_TRUE(isOneOf(b, "|old B|new B|")) << version(b);
        EXPECT_TRUE(isOneOf(backupA, "|old A|earlier|")) << version(backupA);
        EXPECT_TRUE(isOneOf(backupB, "|old B|missing|")) << version(backupB);

        const DetachedRun again = runWithInput(input.childEnd());
        ASSERT_TRUE(again.ended);
        EXPECT_EQ(again.exitCode, 0u);
        EXPECT_EQ(version(a) + version(b) + version(backupA) + version(backupB), "new Anew Bold Aold B");
        EXPECT_FALSE(machineValueExists(kRecordKey, kManifestValue));
        EXPECT_FALSE(fileExists(manifestPath));
        for (const std::string& leftover : {staging + "\\a.new", staging + "\\b.new", a + ".vesk-partial",
                                            b + ".vesk-partial", backupA + ".vesk-partial"}) {
            EXPECT_FALSE(fileExists(leftover)) << leftover;
        }
        removeTree(shm);
    }
}
