#include "client/update_client_win.h"

#include "client/console_command_line.h"
#include "client/output_interpretation.h"
#include "client/output_lines.h"
#include "client/output_pipe_win.h"
#include "core/logger.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "selfupdate/preflight_updater_win.h"

#include <windows.h>

#include <string_view>
#include <utility>
#include <vector>

namespace vesk::updater {

namespace {

// Without output, the watcher still looks at a stop request this often.
constexpr DWORD kPollIntervalMs = 100;
constexpr DWORD kExitGraceMs = 2000;
constexpr UINT kTerminatedExitCode = 1;
constexpr int kStartingProgress = 10;
// Room for the child's output while the watcher interprets what it read: a child that writes faster than
// the pipe is read waits on a full pipe, and with the system's default of a few kilobytes that wait would
// set its pace.
constexpr DWORD kPipeBufferSize = 1024 * 1024;
// One read takes up to all the pipe holds: every read costs a trip through the system, whatever its size.
constexpr DWORD kReadChunk = kPipeBufferSize;
// A pass ends after this much even while output keeps coming, so the child's end is still noticed.
constexpr DWORD kMostPerPass = 4 * kPipeBufferSize;
// After the child's end, a read of output known to be in the pipe finishes at once; this only bounds a
// system that is slow to say so.
constexpr DWORD kTailReadWaitMs = 1000;

bool pathExists(const std::string& path) {
    return ::GetFileAttributesW(pathForWindows(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Bytes waiting in the pipe; 0 when there are none or the pipe cannot be asked (closed, broken).
DWORD bytesAvailable(HANDLE pipe) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        return 0;
    }
    return available;
}

} // namespace

UpdateClient::UpdateClient(IProgressCallback* callback, std::string channel)
    : UpdateClient(callback, std::move(channel), std::string()) {}

UpdateClient::UpdateClient(IProgressCallback* callback, std::string channel, std::string executableDirectory)
    : callback(callback), channel(std::move(channel)), executableDirectory(std::move(executableDirectory)) {}

UpdateClient::~UpdateClient() {
    cleanup();
}

bool UpdateClient::initialize() {
    callback->onStatus("Initializing update client...");
    callback->onProgress(5);
    return true;
}

std::string UpdateClient::findConsoleUpdater() const {
    const std::string directory = executableDirectory.empty() ? runningProgramFolder() : executableDirectory;
    for (const std::string& candidate : consoleUpdaterCandidates(directory)) {
        if (pathExists(candidate)) {
            return candidate;
        }
    }
    return "";
}

void UpdateClient::parseOutputLine(std::string_view line, int& progress) {
    interpretOutputLine(line, progress, *callback);
}

bool UpdateClient::runUpdate(const std::string& manifestLocation) {
    std::string path = findConsoleUpdater();
    if (path.empty()) {
        logger().warning("Console updater not found - attempting download via preflight");
        callback->onStatus("Console updater not found - downloading...");
        PreflightUpdater().runPreflight(channel);
        path = findConsoleUpdater();
        if (!path.empty()) {
            logger().info("Console updater successfully downloaded via preflight: " + path);
        }
    }
    if (path.empty()) {
        logger().error("Could not find or download Updater.exe console version");
        callback->onError(
            "Could not find Updater.exe console version. Please ensure it's in the same directory.");
        return false;
    }
    logger().info("Using console updater: " + path);
    callback->onStatus("Starting update process...");
    callback->onProgress(kStartingProgress);

    const std::string commandLine = buildConsoleUpdaterCommandLine(path, channel, manifestLocation);

    // Only the child's end is inheritable: a child holding the read end too would keep the pipe alive.
    if (!createOutputPipe(kPipeBufferSize, outputRead, outputWrite)) {
        callback->onError("Failed to create communication pipes");
        return false;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdOutput = outputWrite.get();
    startup.hStdError = outputWrite.get();
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION info{};

    logger().info("Launching console updater with command: " + commandLine);
    std::wstring writableCommandLine = widen(commandLine);
    // The system starts no program past MAX_PATH; that failure is named as such.
    const bool startable = canStartProgramAt(path);
    if (!startable) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    }
    if (!startable || !::CreateProcessW(nullptr, writableCommandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &info)) {
        const DWORD error = ::GetLastError();
        outputRead.reset();
        outputWrite.reset();
        logger().error("Failed to start console updater process: Error " + std::to_string(error));
        callback->onError("Failed to start console updater process");
        return false;
    }
    ProcessHandles started = ProcessHandles::adopt(info);
    logger().info("Console updater process started successfully (PID: " + std::to_string(info.dwProcessId) +
                  ")");
    processHandle = std::move(started.process);
    started.thread.reset();
    // Once the child holds the only write end, the pipe breaks when the child (and anything it started
    // with the handle) has gone.
    outputWrite.reset();

    return monitorProcess();
}

bool UpdateClient::monitorProcess() {
    OutputLineBuffer lines;
    int progress = kStartingProgress;
    bool success = false;
    OverlappedPipeReader reader(outputRead.get(), kReadChunk);
    bool pipeOpen = true;

    auto interpret = [&](std::string_view bytes) {
        lines.feed(bytes, [&](std::string_view line) { parseOutputLine(line, progress); });
    };
    // Takes the outcome of a read; false once nothing more can come through the pipe.
    auto take = [&](OverlappedPipeReader::Result result) {
        if (result == OverlappedPipeReader::Result::Data) {
            interpret(reader.data());
        } else if (result == OverlappedPipeReader::Result::Closed) {
            pipeOpen = false;
        }
        return result == OverlappedPipeReader::Result::Data;
    };

    while (true) {
        if (stopRequested.load()) {
            break;
        }
        DWORD exitCode = 0;
        // The signalled handle is what tells that the child has ended: a child may well end with the code
        // STILL_ACTIVE (259) itself, and must not be watched forever for it.
        const bool ended = ::WaitForSingleObject(processHandle.get(), 0) == WAIT_OBJECT_0;
        if (::GetExitCodeProcess(processHandle.get(), &exitCode) && (exitCode != STILL_ACTIVE || ended)) {
            success = (exitCode == 0);
            logger().info("Console updater process completed with exit code: " + std::to_string(exitCode));
            // Whatever the child wrote before it ended is still in the pipe: read and interpret it before the
            // outcome is reported. Only what is there now: a process the child started could hold the pipe
            // open and keep writing.
            if (reader.cancel()) {
                interpret(reader.data());
            }
            DWORD rest = bytesAvailable(outputRead.get());
            while (rest > 0 && pipeOpen && !stopRequested.load()) {
                OverlappedPipeReader::Result result = reader.read();
                if (result == OverlappedPipeReader::Result::Pending) {
                    ::WaitForSingleObject(reader.readyEvent(), kTailReadWaitMs);
                    result = reader.read();
                    if (result == OverlappedPipeReader::Result::Pending) {
                        if (reader.cancel()) {
                            interpret(reader.data());
                        }
                        break;
                    }
                }
                if (take(result)) {
                    const DWORD got = static_cast<DWORD>(reader.data().size());
                    rest = got < rest ? rest - got : 0;
                }
            }
            break;
        }

        // Take everything that is there already (a bounded amount, so the child's end is still noticed while
        // output keeps coming), then wait for more output and for the child's end together.
        DWORD taken = 0;
        while (pipeOpen && taken < kMostPerPass && !stopRequested.load()) {
            if (!take(reader.read())) {
                break;
            }
            taken += static_cast<DWORD>(reader.data().size());
        }
        if (taken >= kMostPerPass) {
            continue;
        }
        HANDLE waitFor[2];
        DWORD count = 0;
        if (reader.pending()) {
            waitFor[count++] = reader.readyEvent();
        }
        waitFor[count++] = processHandle.get();
        if (::WaitForMultipleObjects(count, waitFor, FALSE, kPollIntervalMs) == WAIT_FAILED) {
            ::Sleep(kPollIntervalMs);
        }
    }
    if (reader.cancel()) {
        interpret(reader.data());
    }

    if (lines.hasRest()) {
        parseOutputLine(lines.takeRest(), progress);
    }
    if (success) {
        callback->onProgress(100);
        callback->onComplete(true);
    } else {
        callback->onError("Update process failed");
        callback->onComplete(false);
    }
    return success;
}

void UpdateClient::cleanup() {
    stopRequested.exchange(true);
    if (processHandle) {
        if (::WaitForSingleObject(processHandle.get(), kExitGraceMs) == WAIT_TIMEOUT) {
            ::TerminateProcess(processHandle.get(), kTerminatedExitCode);
        }
        processHandle.reset();
    }
    outputRead.reset();
    outputWrite.reset();
}

} // namespace vesk::updater
