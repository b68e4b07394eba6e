// Runs the deferred self-update in a real child process with its own console, the way the program does:
// the final key prompt does not wait when standard input is not a console, and a process killed at any
// step leaves files the next run completes.
#include "pending_test_helpers.h"
#include "support/child_input_win.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"

#include <vector>

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

namespace {

// A tmpfs folder: to Wine a rename from the test's temporary folder into it crosses file systems, as a
// staged file on another drive does on Windows (a drive letter linked in the prefix's dosdevices folder
// to such a folder behaves the same).
class OtherVolumeFolder {
public:
    OtherVolumeFolder()
        : path_("Z:\\dev\\shm\\vesk-pending-" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(::GetTickCount64())) {
        ::CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~OtherVolumeFolder() { removeTree(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string pattern(const std::string& seed, size_t bytes) {
    std::string text;
    while (text.size() < bytes) {
        text += seed + std::to_string(text.size()) + "\n";
    }
    text.resize(bytes);
    return text;
}

// Which of the given versions the file holds, by name, so a failure says it in a word.
std::string versionAt(const std::string& path,
                      const std::vector<std::pair<const char*, std::string>>& versions) {
    if (!fileExists(path)) {
        return "missing";
    }
    const std::string bytes = readFileBytes(path);
    for (const auto& [name, content] : versions) {
        if (bytes == content) {
            return name;
        }
    }
    return "something else (" + std::to_string(bytes.size()) + " bytes)";
}

::testing::AssertionResult isOneOf(const std::string& version, std::initializer_list<const char*> allowed) {
    for (const char* name : allowed) {
        if (version == name) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << "holds " << version;
}

} // namespace

TEST_F(PendingSelfUpdateConsole, AKillAtAnyStepLeavesWholeFilesAndTheNextRunFinishes) {
    // A is larger than one copy chunk, so a kill while copying it stops in the middle of the file.
    const std::string oldA = pattern("old A ", 150000), newA = pattern("new A ", 200000);
    const std::string oldB = "old B", newB = "new B";
    struct Case {
        bool otherVolume;
        const char* stopAt;
    };
    const Case cases[] = {
        {false, "backup-written"}, {false, "placed"},      {false, "backup-placed:2"}, {false, "files-done"},
        {true, "backup-placed"},   {true, "copy-started"}, {true, "copy-written"},     {true, "placed"},
        {true, "copy-started:2"},  {true, "placed:2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.otherVolume ? "other volume, " : "same volume, ") + c.stopAt);
        TempDir run;
        const OtherVolumeFolder otherVolume;
        install = run.file("install");
        ASSERT_TRUE(::CreateDirectoryA(install.c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryA((install + "\\backup").c_str(), nullptr));
        const std::string staging = c.otherVolume ? otherVolume.path() : run.path();
        const std::string targetA = install + "\\a.dll", targetB = install + "\\b.dll";
        const std::string backupA = install + "\\backup\\a.dll.backup",
                          backupB = install + "\\backup\\b.dll.backup";
        ASSERT_TRUE(writeFileBytes(targetA, oldA));
        ASSERT_TRUE(writeFileBytes(targetB, oldB));
        ASSERT_TRUE(writeFileBytes(backupA, "backup of an earlier update"));
        ASSERT_TRUE(writeFileBytes(staging + "\\a.new", newA));
        ASSERT_TRUE(writeFileBytes(staging + "\\b.new", newB));
        const auto object = [](const std::string& source, const std::string& name, const std::string& target,
                               const std::string& bytes) {
            return "{\"source_path\": \"" + jsonEscape(source) + "\", \"target_name\": \"" + name +
                   "\", \"target_path\": \"" + jsonEscape(target) + "\", \"expected_sha256\": \"" +
                   sha256Hex(bytes) + "\"}";
        };
        const std::string manifestPath = run.file("pending.json");
        ASSERT_TRUE(writeFileBytes(manifestPath,
                                   "{\"install_directory\": \"" + jsonEscape(install) + "\", \"files\": [" +
                                       object(staging + "\\a.new", "a.dll", targetA, newA) + ", " +
                                       object(staging + "\\b.new", "b.dll", targetB, newB) + "]}"));
        ASSERT_TRUE(setMachineString(kRecordKey, kManifestValue, manifestPath));
        ASSERT_TRUE(setMachineString(kRecordKey, kTimestampValue, "t"));

        const SilentInputPipe input;
        ::SetEnvironmentVariableA("VESK_PENDING_STOP_AT", c.stopAt);
        const DetachedRun killed = runWithInput(input.childEnd());
        ::SetEnvironmentVariableA("VESK_PENDING_STOP_AT", nullptr);
        ASSERT_TRUE(killed.ended);
        EXPECT_EQ(killed.exitCode, 99u) << "the run never reached the step";
        // Whole files only: each target and each backup is one of the versions it may be, never a mix.
        const std::vector<std::pair<const char*, std::string>> versions = {
            {"old A", oldA},
            {"new A", newA},
            {"old B", oldB},
            {"new B", newB},
            {"earlier", "backup of an earlier update"}};
        EXPECT_TRUE(isOneOf(versionAt(targetA, versions), {"old A", "new A"})) << "targetA";
        EXPECT_TRUE(isOneOf(versionAt(targetB, versions), {"old B", "new B"})) << "targetB";
        EXPECT_TRUE(isOneOf(versionAt(backupA, versions), {"old A", "earlier"})) << "backupA";
        EXPECT_TRUE(isOneOf(versionAt(backupB, versions), {"old B", "missing"})) << "backupB";
        EXPECT_TRUE(machineValueExists(kRecordKey, kManifestValue));

        const DetachedRun again = runWithInput(input.childEnd());
        ASSERT_TRUE(again.ended);
        EXPECT_EQ(again.exitCode, 0u);
        EXPECT_EQ(versionAt(targetA, versions), "new A");
        EXPECT_EQ(versionAt(targetB, versions), "new B");
        EXPECT_EQ(versionAt(backupA, versions), "old A");
        EXPECT_EQ(versionAt(backupB, versions), "old B");
        EXPECT_FALSE(machineValueExists(kRecordKey, kManifestValue));
        EXPECT_FALSE(fileExists(manifestPath));
        for (const std::string& leftover :
             {staging + "\\a.new", staging + "\\b.new", targetA + ".vesk-partial", targetB + ".vesk-partial",
              backupA + ".vesk-partial"}) {
            EXPECT_FALSE(fileExists(leftover)) << leftover;
        }
    }
}
