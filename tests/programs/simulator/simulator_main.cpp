// Console updater simulator: started in place of Updater.exe, it records how it was started into
// "<own path>.record" and then plays "<own path>.script" (see simulator_script.h) on its standard output.

#include "simulator_script.h"

#include "core/wide_text.h"
#include "core/windows_text_win.h"

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

using vesk::updater::narrow;
using vesk::updater::pathForWindows;

std::string ownPath() {
    return vesk::updater::runningProgramPath();
}

std::string readWholeFile(const std::string& path, bool& found) {
    std::ifstream in(pathForWindows(path).c_str(), std::ios::binary);
    found = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void appendRecord(const std::string& path, const std::string& text) {
    std::ofstream out(pathForWindows(path).c_str(), std::ios::binary | std::ios::app);
    out << text;
}

std::string recordOfStart() {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    const std::string directory = narrow(vesk::updater::readGrowing(
        [](wchar_t* buffer, unsigned long room) { return ::GetCurrentDirectoryW(room, buffer); }));
    DWORD consoleProcesses[16] = {};
    const DWORD attached = ::GetConsoleProcessList(consoleProcesses, 16);
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);

    std::ostringstream record;
    record << "pid=" << ::GetCurrentProcessId() << "\n";
    record << "command_line=" << narrow(::GetCommandLineW()) << "\n";
    record << "working_directory=" << directory << "\n";
    record << "startup_flags=" << startup.dwFlags << "\n";
    record << "show_window=" << startup.wShowWindow << "\n";
    record << "stdin=" << ((input == nullptr || input == INVALID_HANDLE_VALUE) ? "none" : "present") << "\n";
    record << "console_processes=" << attached << "\n";
    return record.str();
}

class Player {
public:
    explicit Player(std::string recordPath) : recordPath(std::move(recordPath)) {}

    void write(const std::string& bytes) {
        size_t offset = 0;
        while (offset < bytes.size()) {
            size_t piece = bytes.size() - offset;
            if (chunkSize != 0 && piece > chunkSize) {
                piece = chunkSize;
            }
            writeAll(bytes.data() + offset, piece);
            offset += piece;
            if (syncEachChunk) {
                sync();
            }
        }
    }

    // Returns once the reader has taken everything written so far: a flush on a pipe end waits for the
    // other end to read the pipe empty.
    void sync() { ::FlushFileBuffers(output()); }

    void bulk(std::uint64_t total, const std::string& text) {
        const std::string line =
            text.empty() ? "simulated console output, nothing the client reacts to..........\r\n" : text;
        std::string block;
        while (block.size() + line.size() <= 64 * 1024 || block.empty()) {
            block += line;
        }
        LARGE_INTEGER frequency{}, start{}, end{};
        ::QueryPerformanceFrequency(&frequency);
        ::QueryPerformanceCounter(&start);
        std::uint64_t written = 0;
        while (written < total) {
            const std::uint64_t piece = total - written < block.size() ? total - written : block.size();
            writeAll(block.data(), static_cast<size_t>(piece));
            written += piece;
        }
        ::QueryPerformanceCounter(&end);
        const double ms = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
        std::ostringstream timing;
        timing << "bulk_ms=" << ms << "\n";
        appendRecord(recordPath, timing.str());
    }

    size_t chunkSize = 0;
    bool syncEachChunk = false;
    bool toError = false;

private:
    HANDLE output() const { return ::GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE); }

    void writeAll(const char* data, size_t size) {
        while (size > 0) {
            DWORD done = 0;
            if (!::WriteFile(output(), data, static_cast<DWORD>(size), &done, nullptr) || done == 0) {
                return; // nobody reads any more; go on with the script as a real program would
            }
            data += done;
            size -= done;
        }
    }

    std::string recordPath;
};

} // namespace

namespace {

LARGE_INTEGER startTime{};

// How long the script has been playing, recorded as run_ms when it ends.
void recordRunTime(const std::string& recordPath) {
    LARGE_INTEGER frequency{}, now{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    std::ostringstream text;
    text << "run_ms=" << static_cast<double>(now.QuadPart - startTime.QuadPart) * 1000.0 / frequency.QuadPart
         << "\nfinished=1\n";
    appendRecord(recordPath, text.str());
}

} // namespace

int main() {
    using vesk::simulator::Step;
    ::QueryPerformanceCounter(&startTime);
    const std::string self = ownPath();
    const std::string recordPath = self + ".record";
    {
        std::ofstream fresh(pathForWindows(recordPath).c_str(), std::ios::binary | std::ios::trunc);
        fresh << recordOfStart();
    }

    bool found = false;
    const std::string text = readWholeFile(self + ".script", found);
    if (!found) {
        appendRecord(recordPath, "error=no script\n");
        return 3;
    }
    const vesk::simulator::Script script = vesk::simulator::parseScript(text);
    if (!script.error.empty()) {
        appendRecord(recordPath, "error=bad script line: " + script.error + "\n");
        return 4;
    }

    Player player(recordPath);
    for (const Step& step : script.steps) {
        switch (step.kind) {
        case Step::Kind::Write:
            player.write(step.bytes);
            break;
        case Step::Kind::Chunk:
            player.chunkSize = static_cast<size_t>(step.number);
            player.syncEachChunk = step.syncEachChunk;
            break;
        case Step::Kind::Sync:
            player.sync();
            break;
        case Step::Kind::Stream:
            player.toError = step.number == 1;
            break;
        case Step::Kind::Sleep:
            ::Sleep(static_cast<DWORD>(step.number));
            break;
        case Step::Kind::Bulk:
            player.bulk(step.number, step.bytes);
            break;
        case Step::Kind::Hang:
            ::Sleep(INFINITE);
            break;
        case Step::Kind::Exit:
            recordRunTime(recordPath);
            ::ExitProcess(static_cast<UINT>(step.number));
        }
    }
    recordRunTime(recordPath);
    return 0;
}
