#include "core/logger.h"

#include "core/log_line.h"
#include "core/windows_text_win.h"

#include <windows.h>

#include <ctime>

namespace vesk::updater {

namespace {

std::uint64_t fileSizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(pathForWindows(path).c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

} // namespace

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

Logger::Logger(const std::string& path, std::uint64_t rotateAt) : logFilePath(path), rotateBytes(rotateAt) {
    open();
}

void Logger::open() {
    // Text mode: every line ends with CR LF on disk. The C runtime opens the file shared for reading and
    // writing, so other processes can follow the log while it is written.
    // The name goes to the system in UTF-16: a narrow name would be read in the code page.
    logStream.open(pathForWindows(logFilePath).c_str(), std::ios::out | std::ios::app);
    fileBytes = fileSizeOf(logFilePath);
    nextRotation = fileBytes < rotateBytes ? rotateBytes : fileBytes + rotateBytes / 8;
}

void Logger::rotateIfDue(std::size_t lineBytes) {
    if (fileBytes + lineBytes <= nextRotation) {
        return;
    }
    // Another process (the program's copy, a restarted program) may append to the same file, so its real
    // size is read again; while one of them holds it open the move fails, and the next try comes after a
    // further eighth of the limit.
    logStream.close();
    if (fileSizeOf(logFilePath) + lineBytes > rotateBytes) {
        ::MoveFileExW(pathForWindows(logFilePath).c_str(), pathForWindows(logFilePath + ".1").c_str(),
                      MOVEFILE_REPLACE_EXISTING);
    }
    open();
}

void Logger::log(const std::string& level, const std::string& message) {
    std::lock_guard<std::mutex> lock(lineMutex);
    if (!logStream.is_open()) {
        return;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_s(&local, &now);
    const std::string line = formatLogLine(formatLogStamp(local), level, logSafeMessage(message));
    rotateIfDue(line.size() + 2);
    if (!logStream.is_open()) {
        return;
    }
    logStream << line << '\n';
    logStream.flush();
    fileBytes += line.size() + 2; // CR LF on disk
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
