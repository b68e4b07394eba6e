#include "core/logger.h"

#include "core/log_line.h"

#include <windows.h>

#include <ctime>

namespace vesk::updater {

namespace {

std::string executableDirectory() {
    char buffer[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    std::string path(buffer, length);
    const size_t separator = path.find_last_of("\\/");
    if (separator != std::string::npos) {
        path.erase(separator);
    }
    return path;
}

} // namespace

Logger::Logger() {
    std::string folder = executableDirectory() + "\\logs";
    ::CreateDirectoryA(folder.c_str(), nullptr); // an existing folder is the normal case
    logFilePath = folder + "\\ui_logs.log";
    open();
}

Logger::Logger(const std::string& path) : logFilePath(path) {
    open();
}

void Logger::open() {
    // Text mode: every line ends with CR LF on disk. The C runtime opens the file shared for reading and
    // writing, so other processes can follow the log while it is written.
    logStream.open(logFilePath, std::ios::out | std::ios::app);
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
