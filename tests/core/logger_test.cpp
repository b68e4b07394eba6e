#include "core/log_line.h"
#include "core/logger.h"
#include "support/log_lines.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using vesk::test::splitCrLfLines;
using vesk::test::TempDir;
using vesk::updater::Logger;

namespace {

const std::regex kPrefix(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[(DEBUG|INFO|WARNING|ERROR)\] \[\] )");

} // namespace

TEST(LogLine, StampAndLayout) {
    std::tm time{};
    time.tm_year = 2026 - 1900;
    time.tm_mon = 0;
    time.tm_mday = 5;
    time.tm_hour = 7;
    time.tm_min = 8;
    time.tm_sec = 9;
    const std::string stamp = vesk::updater::formatLogStamp(time);
    EXPECT_EQ(stamp, "[2026-01-05 07:08:09]");
    EXPECT_EQ(stamp.size(), 21u);
    EXPECT_EQ(vesk::updater::formatLogLine(stamp, "INFO", "hello"), "[2026-01-05 07:08:09] [INFO] [] hello");
    EXPECT_EQ(vesk::updater::formatLogLine(stamp, "DEBUG", ""), "[2026-01-05 07:08:09] [DEBUG] [] ");
}

TEST(Logger, WritesLevelsWithCrLfAndAppendsAcrossInstances) {
    TempDir dir;
    const std::string path = dir.file("ui_logs.log");
    {
        Logger log(path);
        ASSERT_TRUE(log.isOpen());
        log.info("first");
        log.warning("");
        log.debug("two\n  lines");
        log.debug("forged\n[2026-01-05 07:08:09] [ERROR] [] line\r");
    }
    {
        Logger log(path);
        log.error("second run");
    }
    const std::string bytes = vesk::test::readFileBytes(path);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    const auto lines = splitCrLfLines(bytes);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(std::regex_search(lines[0], kPrefix));
    EXPECT_EQ(lines[0].substr(22), "[INFO] [] first");
    EXPECT_EQ(lines[1].substr(22), "[WARNING] [] ");
    EXPECT_EQ(lines[2].substr(22), "[DEBUG] [] two");
    EXPECT_EQ(lines[3], "  lines"); // the indented continuation of a message carries no prefix
    // Any other line break or control character is written as an escape: no message forges a line.
    EXPECT_EQ(lines[4].substr(22), "[DEBUG] [] forged\\n[2026-01-05 07:08:09] [ERROR] [] line\\r");
    EXPECT_EQ(lines[5].substr(22), "[ERROR] [] second run");
}

TEST(Logger, UnopenableFileWritesNothingAndDoesNotFail) {
    TempDir dir;
    Logger log(dir.file("missing-folder\\ui_logs.log"));
    EXPECT_FALSE(log.isOpen());
    log.info("dropped");
    log.error("dropped");
    EXPECT_FALSE(vesk::test::fileExists(dir.file("missing-folder")));
}

TEST(Logger, TwoThreadsNeverTearALine) {
    TempDir dir;
    const std::string path = dir.file("ui_logs.log");
    constexpr int kLinesPerThread = 2000;
    const std::string a(300, 'a');
    const std::string b(300, 'b');
    {
        Logger log(path);
        std::thread first([&] {
            for (int i = 0; i < kLinesPerThread; ++i)
                log.info(a);
        });
        std::thread second([&] {
            for (int i = 0; i < kLinesPerThread; ++i)
                log.debug(b);
        });
        first.join();
        second.join();
    }
    const auto lines = splitCrLfLines(vesk::test::readFileBytes(path));
    ASSERT_EQ(lines.size(), 2u * kLinesPerThread);
    for (const auto& line : lines) {
        ASSERT_TRUE(line.substr(22) == "[INFO] [] " + a || line.substr(22) == "[DEBUG] [] " + b) << line;
    }
}

TEST(Logger, ProcessLogLivesInLogsFolderBesideExecutable) {
    const std::string expected = vesk::test::executableDirectory() + "\\logs\\ui_logs.log";
    EXPECT_EQ(vesk::updater::logger().path(), expected);
    vesk::updater::logger().info("logger test marker");
    EXPECT_NE(vesk::test::readFileBytes(expected).find("[INFO] [] logger test marker\r\n"),
              std::string::npos);
}

TEST(Logger, OutsideValuesAreEscapedAndCutAtACharacterBoundary) {
    using vesk::updater::logValue;
    struct Case {
        std::string value;
        std::size_t limit;
        std::string shown;
    };
    const Case cases[] = {
        {"C:\\Program Files\\VESK", 512, "C:\\Program Files\\VESK"},
        {"a\nb\rc\td", 512, "a\\nb\\rc\\td"},
        {std::string("nul\0bell\x07" "del\x7f", 13), 512, "nul\\x00bell\\x07del\\x7f"},
        {"next\xc2\x85line\xe2\x80\xa8sep\xe2\x80\xa9para", 512, "next\\u0085line\\u2028sep\\u2029para"},
        {"caf\xc3\xa9 \xe2\x82\xac", 512, "caf\xc3\xa9 \xe2\x82\xac"}, // ordinary UTF-8 passes
        {"abcdef", 4, "abcd...[cut, 6 bytes]"},
        {"ab\xc3\xa9xyz", 3, "ab...[cut, 7 bytes]"}, // never half a character
        {std::string(2000, '~'), 512, std::string(512, '~') + "...[cut, 2000 bytes]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(logValue(c.value, c.limit), c.shown) << c.value.substr(0, 40);
    }
    // Whole messages: the fixed list layout passes byte for byte, anything else is escaped.
    EXPECT_EQ(vesk::updater::logSafeMessage("Attempts:\n  - a\n  - b\n"), "Attempts:\n  - a\n  - b\n");
    EXPECT_EQ(vesk::updater::logSafeMessage("x\n[ERROR] y\r"), "x\\n[ERROR] y\\r");
}

TEST(Logger, AFullLogIsMovedAsideAndANewOneBegun) {
    TempDir dir;
    const std::string path = dir.file("ui_logs.log");
    const std::string line(100, 'x');
    {
        Logger log(path, 4096);
        for (int i = 0; i < 100; ++i) {
            log.info(line + std::to_string(i));
        }
    }
    const std::string current = vesk::test::readFileBytes(path);
    const std::string previous = vesk::test::readFileBytes(path + ".1");
    EXPECT_LE(current.size(), 4096u);
    EXPECT_GT(previous.size(), 3900u); // moved aside full, never cut short
    EXPECT_LE(previous.size(), 4096u);
    EXPECT_EQ(splitCrLfLines(current).back().substr(22), "[INFO] [] " + line + "99");
}
