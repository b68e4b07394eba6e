// How fast the real program takes in its console updater's output, next to a bare pipe reader.
//
// Each round runs both, in alternating order: VESK_Updater.exe copied into a fresh install folder with the
// console updater simulator beside it as Updater.exe (real window, real child, real pipe), and the same
// simulator whose output a loop of plain ReadFile calls drains from a pipe of the same size. The simulator
// times how long writing its 10 MB took; that time is what the reader allows it. Run by
// scripts/bench/client.sh inside a Wine session; not part of the test suite.
//
//   client_benchmark.exe [rounds]

#include "core/handles_win.h"
#include "support/console_simulator.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using vesk::test::installSimulator;
using vesk::test::readSimulatorRecord;
using vesk::test::TempDir;
using vesk::updater::KernelHandle;
using vesk::updater::RegKey;

namespace {

constexpr unsigned long long kBytes = 10ull * 1024 * 1024;
// The program's own pipe holds this much; the bare reader gets the same.
constexpr DWORD kPipeBytes = 1024 * 1024;
constexpr DWORD kRunLimitMs = 180000;

struct Workload {
    const char* name;
    const char* bulkText; // "" for the simulator's filler lines, which match no phrase
    size_t lineBytes;
};

// Both lines are 66 bytes with their CR LF, about 160,000 lines in 10 MB.
const Workload kWorkloads[] = {
    {"no phrase", "", 66},
    {"phrase on every line", "Verifying installed file 0042 of the simulated product, please wait\\r\\n", 66},
};

std::string scriptFor(const Workload& workload) {
    std::string bulk = "bulk " + std::to_string(kBytes);
    if (*workload.bulkText != '\0') {
        bulk += std::string(" ") + workload.bulkText;
    }
    return "line VESK Update Client starting\n" + bulk + "\nline Update completed successfully\nexit 0\n";
}

std::optional<double> bulkMilliseconds(const std::string& simulator) {
    const auto record = readSimulatorRecord(simulator);
    const auto found = record.find("bulk_ms");
    if (found == record.end()) {
        return std::nullopt;
    }
    return std::strtod(found->second.c_str(), nullptr);
}

// The install folder of the program for one run, put back afterwards.
class ScopedInstallPath {
public:
    explicit ScopedInstallPath(const std::string& folder) {
        if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                              key.put(), nullptr) != ERROR_SUCCESS) {
            return;
        }
        char old[1024] = {};
        DWORD size = sizeof(old) - 1;
        DWORD type = 0;
        had = ::RegQueryValueExA(key.get(), kValue, nullptr, &type, reinterpret_cast<BYTE*>(old), &size) ==
                  ERROR_SUCCESS &&
              type == REG_SZ;
        previous = old;
        set(folder);
    }
    ~ScopedInstallPath() {
        if (!key) {
            return;
        }
        if (had) {
            set(previous);
        } else {
            ::RegDeleteValueA(key.get(), kValue);
        }
    }

private:
    static constexpr const char* kKey = "SOFTWARE\\Corvanne\\VESK";
    static constexpr const char* kValue = "InstallPath";

    void set(const std::string& value) {
        ::RegSetValueExA(key.get(), kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>(value.size() + 1));
    }

    RegKey key;
    bool had = false;
    std::string previous;
};

std::optional<double> runThroughProgram(const Workload& workload) {
    TempDir install;
    const std::string program = install.file("VESK_Updater.exe");
    if (!::CopyFileA((vesk::test::executableDirectory() + "\\VESK_Updater.exe").c_str(), program.c_str(),
                     FALSE)) {
        std::fprintf(stderr, "cannot copy VESK_Updater.exe\n");
        return std::nullopt;
    }
    const std::string simulator = installSimulator(install.path(), scriptFor(workload));
    ScopedInstallPath installPath(install.path());

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + program + "\"";
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          install.path().c_str(), &startup, &info)) {
        std::fprintf(stderr, "cannot start the program: error %lu\n", ::GetLastError());
        return std::nullopt;
    }
    const auto process = vesk::updater::ProcessHandles::adopt(info);
    if (::WaitForSingleObject(process.process.get(), kRunLimitMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.process.get(), 99);
        std::fprintf(stderr, "the program did not end in time\n");
        return std::nullopt;
    }
    return bulkMilliseconds(simulator);
}

std::optional<double> runThroughBareReader(const Workload& workload) {
    TempDir folder;
    const std::string simulator = installSimulator(folder.path(), scriptFor(workload));
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, kPipeBytes)) {
        return std::nullopt;
    }
    KernelHandle reader(readEnd);
    KernelHandle writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdOutput = writer.get();
    startup.hStdError = writer.get();
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + simulator + "\" --verbose";
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr,
                          nullptr, &startup, &info)) {
        return std::nullopt;
    }
    const auto process = vesk::updater::ProcessHandles::adopt(info);
    writer.reset();
    std::vector<char> buffer(64 * 1024);
    DWORD received = 0;
    while (::ReadFile(reader.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &received, nullptr) &&
           received > 0) {
    }
    ::WaitForSingleObject(process.process.get(), kRunLimitMs);
    return bulkMilliseconds(simulator);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    int failures = 0;
    std::vector<std::string> summary;
    for (const Workload& workload : kWorkloads) {
        std::printf("%s: %llu lines of %zu bytes\n", workload.name, kBytes / workload.lineBytes,
                    workload.lineBytes);
        std::vector<double> client;
        std::vector<double> bare;
        for (int round = 0; round < rounds; ++round) {
            // Alternate which one goes first, so a slow moment of the machine hits both alike.
            std::optional<double> programMs;
            std::optional<double> bareMs;
            if (round % 2 == 0) {
                programMs = runThroughProgram(workload);
                bareMs = runThroughBareReader(workload);
            } else {
                bareMs = runThroughBareReader(workload);
                programMs = runThroughProgram(workload);
            }
            if (!programMs || !bareMs) {
                std::fprintf(stderr, "%s, round %d: no time recorded\n", workload.name, round + 1);
                ++failures;
                continue;
            }
            client.push_back(*programMs);
            bare.push_back(*bareMs);
            std::printf("%s, round %d: client %.1f ms, bare reader %.1f ms\n", workload.name, round + 1,
                        *programMs, *bareMs);
            std::fflush(stdout);
        }
        if (client.empty()) {
            continue;
        }
        const double clientMin = *std::min_element(client.begin(), client.end());
        const double bareMin = *std::min_element(bare.begin(), bare.end());
        char line[256];
        std::snprintf(line, sizeof line,
                      "client/bare reader, 10 MB, %s: min %.2f (%.1f ms / %.1f ms), median %.2f (%zu rounds)",
                      workload.name, clientMin / bareMin, clientMin, bareMin, median(client) / median(bare),
                      client.size());
        summary.emplace_back(line);
    }
    for (const std::string& line : summary) {
        std::printf("%s\n", line.c_str());
    }
    return failures == 0 ? 0 : 1;
}
