#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

namespace vesk::updater {

// The size at which the log file is moved aside to "<name>.1" (replacing an older one) and a new file begun,
// so the log cannot fill the disk however often the program runs. Large enough that one run, even against
// a manifest padded to make the file search log every decoy (about 12 MB for 1 MB of padding), moves it
// aside at most once.
constexpr std::uint64_t kLogRotateBytes = std::uint64_t{32} << 20;

// The program's diagnostic log: one flushed line per call, appended to "logs\ui_logs.log" beside the
// running executable. Messages pass through logSafeMessage, so no control character from outside reaches
// the file. Writes nothing (and reports nothing) when the file could not be opened.
class Logger {
public:
    // Opens the log beside the running executable, creating its "logs" folder.
    Logger();
    // Opens the given file for appending (no folder is created), rotating at rotateBytes; used by tests.
    explicit Logger(const std::string& logFilePath, std::uint64_t rotateBytes = kLogRotateBytes);

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void log(const std::string& level, const std::string& message);
    void debug(const std::string& message) { log("DEBUG", message); }
    void info(const std::string& message) { log("INFO", message); }
    void warning(const std::string& message) { log("WARNING", message); }
    void error(const std::string& message) { log("ERROR", message); }

    const std::string& path() const { return logFilePath; }
    bool isOpen() const { return logStream.is_open(); }

private:
    void open();
    void rotateIfDue(std::size_t lineBytes);

    std::string logFilePath;
    std::ofstream logStream;
    std::uint64_t rotateBytes = kLogRotateBytes;
    std::uint64_t fileBytes = 0;     // the file's size as this process last knew it, plus what it wrote since
    std::uint64_t nextRotation = 0;  // the size at which to try moving the file aside
    // Two threads log; each line is written whole under this lock.
    std::mutex lineMutex;
};

// The process-wide log. Built during static initialisation, before the entry routine runs, and never
// destroyed, so a detached thread that is still logging while the process exits finds it intact.
Logger& logger();

} // namespace vesk::updater
