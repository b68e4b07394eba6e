#include "core/handles_win.h"
#include "core/privilege.h"
#include "core/privilege_text.h"
#include "support/dialog_dismisser_win.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vesk::updater;
using vesk::test::TempDir;

namespace {

std::string childProgram() {
    return vesk::test::executableDirectory() + "\\vesk_exit_child.exe";
}

std::vector<std::string> recordedArguments(const std::string& recordFile) {
    std::vector<std::string> lines;
    const std::string bytes = vesk::test::readFileBytes(recordFile);
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find('\n', start);
        lines.push_back(bytes.substr(start, end - start));
        start = end == std::string::npos ? bytes.size() : end + 1;
    }
    return lines;
}

std::string parametersFor(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{"program"};
    for (const auto& argument : arguments)
        argv.push_back(argument.c_str());
    return joinElevationParameters(static_cast<int>(argv.size()), argv.data());
}

} // namespace

TEST(ElevationParameters, SkipsProgramNameAndQuotesOnlyArgumentsWithSpaces) {
    const char* four[] = {"VESK_Updater.exe", "a", "b c", "d"};
    EXPECT_EQ(joinElevationParameters(4, four), "a \"b c\" d");

    const char* one[] = {"VESK_Updater.exe"};
    EXPECT_EQ(joinElevationParameters(1, one), "");
    EXPECT_EQ(joinElevationParameters(0, nullptr), "");

    // Tabs and quotes are not escaped; only a space triggers the surrounding quotes.
    const char* raw[] = {"x", "tab\there", "say\"hi\"", "--channel", "C:\\Program Files\\VESK"};
    EXPECT_EQ(joinElevationParameters(5, raw), "tab\there say\"hi\" --channel \"C:\\Program Files\\VESK\"");
}

TEST(ErrorText, TrailingLineBreaksAreRemovedRepeatedly) {
    EXPECT_EQ(trimTrailingLineBreaks("Access is denied.\r\n"), "Access is denied.");
    EXPECT_EQ(trimTrailingLineBreaks("text\n\r\n\r"), "text");
    EXPECT_EQ(trimTrailingLineBreaks("two\r\nlines\r\n"), "two\r\nlines");
    EXPECT_EQ(trimTrailingLineBreaks("\r\n"), "");
    EXPECT_EQ(trimTrailingLineBreaks("plain"), "plain");
}

TEST(ErrorText, SystemTextsComeWithoutLineBreaks) {
    for (const std::uint32_t code : {2u, 5u, 1223u}) {
        const std::string text = getWindowsErrorMessage(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_NE(text.back(), '\n') << code;
        EXPECT_NE(text.back(), '\r') << code;
        EXPECT_EQ(text.find("Unknown error"), std::string::npos) << code;

        // The same text the system gives, only without its line end.
        char* raw = nullptr;
        const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                                  FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                              nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                              reinterpret_cast<char*>(&raw), 0, nullptr);
        LocalMemory owner(raw);
        ASSERT_GT(length, 0u);
        EXPECT_EQ(trimTrailingLineBreaks(std::string(raw, length)), text);
    }
}

TEST(ErrorText, UnknownCodesPrintAsUnsignedDecimal) {
    EXPECT_EQ(getWindowsErrorMessage(0xE0001234u), "Unknown error (code: 3758101044)");
    EXPECT_EQ(getWindowsErrorMessage(0xFFFFFFFFu), "Unknown error (code: 4294967295)");
    EXPECT_EQ(getWindowsErrorMessage(0x0000DEADu), "Unknown error (code: 57005)");
}

TEST(ToWide, ConvertsUtf8AndNeverFails) {
    EXPECT_EQ(toWide(""), L"");
    EXPECT_EQ(toWide("runas"), L"runas");
    EXPECT_EQ(toWide("C:\\Caf\xC3\xA9\\VESK_Updater.exe"), L"C:\\Caf\u00E9\\VESK_Updater.exe");
    EXPECT_EQ(toWide("\xF0\x9F\x98\x80"), std::wstring(L"\xD83D\xDE00"));
    // A byte that is not UTF-8 becomes a replacement character; the rest survives.
    EXPECT_EQ(toWide("a\xFF"
                     "b"),
              L"a\uFFFDb");
    EXPECT_EQ(toWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Elevation, ElevatedProcessNeverStartsAnything) {
    // Wine runs every process elevated.
    ASSERT_TRUE(isProcessElevated());

    TempDir dir;
    const std::string record = dir.file("record.txt");
    const ElevationResult result = requestElevation(childProgram(), parametersFor({"3", record}), true);
    EXPECT_TRUE(result.success);
    EXPECT_TRUE(result.alreadyElevated);
    EXPECT_EQ(result.message, "Process is already elevated");
    EXPECT_EQ(result.errorCode, 0u);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.processHandle, nullptr);
    EXPECT_FALSE(vesk::test::fileExists(record)); // with wait, a started child would have written it by now

    const char* argv[] = {"VESK_Updater.exe", "--process-self-update"};
    const ElevationResult restart = restartElevated(2, argv);
    EXPECT_TRUE(restart.success);
    EXPECT_TRUE(restart.alreadyElevated);
    EXPECT_EQ(restart.processHandle, nullptr);
}

TEST(Elevation, LaunchWaitsAndPassesExitCodeAndArguments) {
    TempDir dir;
    const std::string record = dir.file("record.txt");
    // A program whose name the code page cannot write still starts.
    const std::string program = dir.file("\xD0\x9E\xD0\xB1\xD0\xBD \xE2\x80\x93 O\xE2\x80\x99"
                                         "Brien.exe");
    ASSERT_TRUE(::CopyFileW(vesk::test::widePath(childProgram()).c_str(),
                            vesk::test::widePath(program).c_str(), FALSE));
    const ElevationResult result =
        launchElevated(program, parametersFor({"5", record, "two words", "-c"}), true);
    EXPECT_TRUE(result.success);
    EXPECT_FALSE(result.alreadyElevated);
    EXPECT_EQ(result.message, "Elevation request successful");
    EXPECT_EQ(result.errorCode, 0u);
    EXPECT_EQ(result.exitCode, 5u);
    EXPECT_EQ(result.processHandle, nullptr);
    EXPECT_EQ(recordedArguments(record), (std::vector<std::string>{"5", record, "two words", "-c"}));
}

TEST(Elevation, LaunchWithoutWaitHandsOverTheProcess) {
    const ElevationResult result = launchElevated(childProgram(), "7", false);
    ASSERT_TRUE(result.success);
    EXPECT_EQ(result.exitCode, 0u);
    ASSERT_NE(result.processHandle, nullptr);
    KernelHandle process(static_cast<HANDLE>(result.processHandle));
    ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeProcess(process.get(), &exitCode));
    EXPECT_EQ(exitCode, 7u);
}

TEST(Elevation, LaunchFailureCarriesCodeAndSystemText) {
    TempDir dir;
    // The shell reports a missing file in a dialog of its own before the call returns.
    vesk::test::DialogDismisser dismisser;
    const ElevationResult result = launchElevated(dir.file("no-such-program.exe"), "", true);
    EXPECT_FALSE(result.success);
    EXPECT_FALSE(result.alreadyElevated);
    EXPECT_EQ(result.errorCode, 2u); // ERROR_FILE_NOT_FOUND, even though the shell's dialog came first
    EXPECT_EQ(result.message, "Failed to request elevation: " + getWindowsErrorMessage(result.errorCode));
    EXPECT_EQ(result.processHandle, nullptr);
}
