#pragma once

#include <fstream>
#include <mutex>
#include <string>

namespace vesk::updater {

// The program's diagnostic log: one flushed line per call, appended to "logs\ui_logs.log" beside the
// running executable. Writes nothing (and reports nothing) when the file could not be opened.
class Logger {
public:
    // Opens the log beside the running executable, creating its "logs" folder.
    Logger();
    // Opens the given file for appending (no folder is created); used by tests.
    explicit Logger(const std::string& logFilePath);

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

    std::string logFilePath;
    std::ofstream logStream;
    // Two threads log; each line is written whole under this lock.
    std::mutex lineMutex;
};

// The process-wide log. Built during static initialisation, before the entry routine runs, and never
// destroyed, so a detached thread that is still logging while the process exits finds it intact.
Logger& logger();

} // namespace vesk::updater
