// Runs the deferred self-update in a real child process with its own console, the way the program does,
// and checks that the final key prompt does not wait when standard input is not a console.
#include "pending_test_helpers.h"
#include "support/child_input_win.h"
#include "support/temp_dir.h"

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

    DetachedRun runWithInput(HANDLE input) {
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
