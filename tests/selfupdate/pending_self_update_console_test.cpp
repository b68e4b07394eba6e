// Runs the deferred self-update in a real child process with its own console, the way the program does,
// and checks that the final key prompt does not wait when standard input is not a console.
#include "pending_test_helpers.h"
#include "support/temp_dir.h"

#include "core/handles_win.h"

#include <gtest/gtest.h>

using namespace vesk::updater;
using namespace vesk::test;

namespace {

const char kRecordKey[] = "SOFTWARE\\VESK\\Updater";
const char kManifestValue[] = "PendingSelfUpdateManifest";
const char kTimestampValue[] = "PendingSelfUpdateTimestamp";

// Starts the runner with the given standard input and no visible output; returns its exit code, or -1
// when it had not ended by the deadline (it is then terminated).
long runWithInput(HANDLE input) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    FileHandle nul(::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(nul);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = nul.get();
    startup.hStdError = nul.get();
    std::string commandLine = "\"";
    commandLine += executableDirectory();
    commandLine += "\\pending_self_update_runner.exe\"";
    PROCESS_INFORMATION info{};
    // Detached, like a window program started from the desktop: it gets a console only by allocating one.
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                          nullptr, &startup, &info)) {
        ADD_FAILURE() << "cannot start the runner: " << ::GetLastError();
        return -1;
    }
    const ProcessHandles process = ProcessHandles::adopt(info);
    if (::WaitForSingleObject(process.process.get(), 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.process.get(), 99);
        ::WaitForSingleObject(process.process.get(), 10000);
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.process.get(), &code);
    return static_cast<long>(code);
}

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

    TempDir dir;
    std::string install;
    std::string source;
    std::string target;
};

} // namespace

TEST_F(PendingSelfUpdateConsole, APipeThatNeverDeliversDoesNotHoldThePrompt) {
    prepareOneFile();
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    FileHandle readEnd;
    FileHandle writeEnd;
    HANDLE readRaw = nullptr;
    HANDLE writeRaw = nullptr;
    ASSERT_TRUE(::CreatePipe(&readRaw, &writeRaw, &inherit, 0));
    readEnd.reset(readRaw);
    writeEnd.reset(writeRaw);
    ::SetHandleInformation(writeRaw, HANDLE_FLAG_INHERIT, 0);

    // The write end stays open here for the whole run: a read of standard input would block for ever.
    EXPECT_EQ(runWithInput(readEnd.get()), 0);
    EXPECT_EQ(readFileBytes(target), "fresh");
    EXPECT_FALSE(fileExists(source));
    EXPECT_FALSE(machineValueExists(kRecordKey, kManifestValue));
}

TEST_F(PendingSelfUpdateConsole, TheNulDeviceAsInputDoesNotHoldThePrompt) {
    prepareOneFile();
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    FileHandle nul(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(nul);
    EXPECT_EQ(runWithInput(nul.get()), 0);
    EXPECT_EQ(readFileBytes(target), "fresh");
}
