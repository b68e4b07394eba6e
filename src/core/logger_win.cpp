#include "core/logger.h"

#include "core/log_line.h"
#include "core/windows_text_win.h"

#include <windows.h>

#include <ctime>

namespace vesk::updater {

Logger::Logger() {
    // Only beside the program: without its folder the log is written nowhere rather than somewhere else.
    const std::string programFolder = runningProgramFolder();
    if (programFolder.empty()) {
        return;
    }
    std::string folder = programFolder + "\\logs";
    ::CreateDirectoryW(pathForWindows(folder).c_str(), nullptr); // an existing folder is the normal case
    logFilePath = folder + "\\ui_logs.log";
    open();
}

Logger::Logger(const std::string& path) : logFilePath(path) {
    open();
}

void Logger::open() {
    // Text mode: every line ends with CR LF on disk. The C runtime opens the file shared for reading and
    // writing, so other processes can follow the log while it is written.
    // The name goes to the system in UTF-16: a narrow name would be read in the code page.
    logStream.open(pathForWindows(logFilePath).c_str(), std::ios::out | std::ios::app);
}

void Logger::log(const std::string& level, const std::string& message) {
    std::lock_guard<std::mutex> lock(lineMutex);
    if (!logStream.is_open()) {
        return;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_s(&local, &now);
    logStream << formatLogLine(formatLogStamp(local), level, message) << '\n';
    logStream.flush();
}

Logger& logger() {
    static Logger* const instance = new Logger();
    return *instance;
}

namespace {
// Construct the log before the entry routine so its first line finds the file open.
[[maybe_unused]] const bool loggerBuiltEarly = (logger(), true);
} // namespace

} // namespace vesk::updater
