#include "support/recording_callback.h"
#include "client/update_client_win.h"
#include "core/handles_win.h"
#include "support/console_simulator.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

// Not part of the normal run (disabled); run it with
//   test_client.exe --gtest_also_run_disabled_tests --gtest_filter=*ClientBenchmark*
// A console updater writes 10 MB of output. Its run time while the client reads it is compared with the
// same program writing into NUL (nothing can slow it down there) and, as the limit of the pipe itself,
// with a reader that does nothing but read as fast as it can.

using vesk::test::installSimulator;
using vesk::test::readSimulatorRecord;
using vesk::test::RecordingCallback;
using vesk::test::TempDir;
using vesk::updater::KernelHandle;

namespace {

constexpr const char* kScript =
    "line VESK Update Client starting\nbulk 10485760\nline Update completed successfully\n";

double runMilliseconds(const std::string& simulatorPath) {
    const auto record = readSimulatorRecord(simulatorPath);
    const auto found = record.find("run_ms");
    return found == record.end() ? -1.0 : std::stod(found->second);
}

// Starts the simulator with its output going to `output` and waits for it; `whileRunning` runs meanwhile.
template <typename Reader>
void runWithOutput(const std::string& simulatorPath, HANDLE output, Reader whileRunning) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + simulatorPath + "\" --verbose";
    ASSERT_TRUE(::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE,
                                 nullptr, nullptr, &startup, &info));
    const auto process = vesk::updater::ProcessHandles::adopt(info);
    whileRunning();
    ::WaitForSingleObject(process.process.get(), INFINITE);
}

double runIntoNul(const std::string& simulatorPath) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    vesk::updater::FileHandle nul(::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                &inheritable, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(nul.valid());
    runWithOutput(simulatorPath, nul.get(), [] {});
    return runMilliseconds(simulatorPath);
}

double runIntoPlainReader(const std::string& simulatorPath) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    EXPECT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    KernelHandle reader(readEnd);
    KernelHandle writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    runWithOutput(simulatorPath, writer.get(), [&] {
        writer.reset();
        std::vector<char> buffer(64 * 1024);
        DWORD received = 0;
        while (
            ::ReadFile(reader.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &received, nullptr) &&
            received > 0) {
        }
    });
    return runMilliseconds(simulatorPath);
}

double runThroughClient(const std::string& simulatorPath, const std::string& folder) {
    RecordingCallback callback;
    vesk::updater::UpdateClient client(&callback, "", folder);
    EXPECT_TRUE(client.runUpdate(""));
    client.cleanup();
    return runMilliseconds(simulatorPath);
}

TEST(ClientBenchmark, DISABLED_TenMegabytesReadByTheClientVersusWrittenToNul) {
    TempDir dir;
    const std::string simulator = installSimulator(dir.path(), kScript);
    double nulTotal = 0;
    double plainTotal = 0;
    double clientTotal = 0;
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        const double nul = runIntoNul(simulator);
        const double plain = runIntoPlainReader(simulator);
        const double client = runThroughClient(simulator, dir.path());
        std::printf("round %d: into NUL %.1f ms, plain pipe reader %.1f ms, read by the client %.1f ms\n",
                    round + 1, nul, plain, client);
        nulTotal += nul;
        plainTotal += plain;
        clientTotal += client;
    }
    std::printf("10 MB, averages: into NUL %.1f ms, plain pipe reader %.1f ms, client %.1f ms\n",
                nulTotal / kRounds, plainTotal / kRounds, clientTotal / kRounds);
    std::printf("ratio client / NUL %.1f, client / plain pipe reader %.2f\n", clientTotal / nulTotal,
                clientTotal / plainTotal);
}

} // namespace
