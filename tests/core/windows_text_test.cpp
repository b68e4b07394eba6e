// The text helpers between the program's UTF-8 and the system's UTF-16: path forms, buffers that grow to
// fit, the code-page fallback, registry text, temporary files in long folders and the command line.

#include "app/command_line.h"
#include "core/handles_win.h"
#include "core/logger.h"
#include "core/privilege.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace vesk::updater;

namespace {

const std::wstring kLong = L"C:\\" + std::wstring(250, L'x');

} // namespace

TEST(WideTextHelpers, ExtendedFormOnlyForLongFullPaths) {
    const struct {
        std::wstring path;
        std::wstring expected;
    } rows[] = {
        {L"C:\\short\\path", L"C:\\short\\path"},
        {L"C:\\" + std::wstring(244, L'x'), L"C:\\" + std::wstring(244, L'x')}, // 247: still short
        {kLong, L"\\\\?\\" + kLong},
        {L"\\\\server\\share\\" + std::wstring(240, L'y'), L"\\\\?\\UNC\\server\\share\\" + std::wstring(240, L'y')},
        {L"\\\\?\\" + kLong, L"\\\\?\\" + kLong},
        {L"\\\\.\\pipe\\" + std::wstring(250, L'p'), L"\\\\.\\pipe\\" + std::wstring(250, L'p')},
        {std::wstring(260, L'r'), std::wstring(260, L'r')}, // relative: the form would change its meaning
    };
    for (const auto& row : rows) {
        EXPECT_EQ(extendedLengthPath(row.path), row.expected) << narrow(row.path).substr(0, 30);
    }
}

TEST(WideTextHelpers, GrowingBufferFitsEachWayACallReportsTooLittleRoom) {
    enum class Style { CutOff, NeedsRoom, Fails };
    const struct {
        Style style;
        std::size_t length;
        bool expectValue;
    } rows[] = {
        {Style::CutOff, 10, true},     {Style::CutOff, 260, true},     {Style::CutOff, 5000, true},
        {Style::NeedsRoom, 259, true}, {Style::NeedsRoom, 260, true},  {Style::NeedsRoom, 32767, true},
        {Style::NeedsRoom, 40000, false}, {Style::CutOff, 40000, false}, {Style::Fails, 10, false},
    };
    for (const auto& row : rows) {
        const std::wstring value(row.length, L'v');
        int calls = 0;
        const std::wstring got = readGrowing([&](wchar_t* buffer, unsigned long room) -> unsigned long {
            ++calls;
            if (row.style == Style::Fails) {
                return 0;
            }
            if (value.size() + 1 > room) {
                if (row.style == Style::CutOff) {
                    std::copy_n(value.begin(), room, buffer);
                    return room;
                }
                return static_cast<unsigned long>(value.size() + 1);
            }
            std::copy(value.begin(), value.end(), buffer);
            buffer[value.size()] = L'\0';
            return static_cast<unsigned long>(value.size());
        });
        EXPECT_EQ(got, row.expectValue ? value : std::wstring()) << row.length;
        EXPECT_LT(calls, 10) << row.length;
    }
}

TEST(WideTextHelpers, ArgumentsFollowTheProgramNameAsWinMainWouldHandThemOver) {
    const struct {
        std::wstring full;
        std::wstring arguments;
    } rows[] = {
        {L"\"C:\\Programme M\u00FCller\\VESK_Updater.exe\" -c beta", L"-c beta"},
        {L"\"C:\\\u66F4\u65B0\\VESK_Updater.exe\"--restart-done", L"--restart-done"},
        {L"VESK_Updater.exe  \t --process-self-update", L"--process-self-update"},
        {L"VESK_Updater.exe", L""},
        {L"\"C:\\unclosed quote -c beta", L""},
        {L"", L""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(argumentsAfterProgramName(row.full), row.arguments) << narrow(row.full);
    }
}

TEST(WindowsTextHelpers, LongPathsWorkAndTheirFormIsNormalised) {
    vesk::test::TempDir dir;
    const std::string folder = dir.file(std::string(150, 'a') + "\\" + std::string(150, 'b'));
    ASSERT_TRUE(::CreateDirectoryW(pathForWindows(dir.file(std::string(150, 'a'))).c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(pathForWindows(folder).c_str(), nullptr));
    // Slashes and "." are cleaned up before the extended form switches that off.
    EXPECT_EQ(pathForWindows(dir.file(std::string(150, 'a') + "/./" + std::string(150, 'b'))),
              L"\\\\?\\" + widen(folder));

    unsigned long error = 0;
    const std::optional<std::string> file = createTemporaryFile(folder, "vesk", error);
    ASSERT_TRUE(file.has_value()) << error;
    EXPECT_EQ(file->rfind(folder + "\\vesk", 0), 0u);
    const std::optional<std::string> second = createTemporaryFile(folder + "\\", "vesk", error);
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(*second, *file);
    EXPECT_TRUE(vesk::test::fileExists(*second));

    EXPECT_FALSE(createTemporaryFile(folder + "\\missing", "vesk", error).has_value());
    EXPECT_EQ(error, static_cast<unsigned long>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(temporaryFileFailedMessage(folder + "\\missing", error).rfind(
                  "Could not create a temporary file in " + folder + "\\missing: ", 0),
              0u);

    // A temporary folder too long for GetTempPathW is still found through TMP.
    ::SetEnvironmentVariableW(L"TMP", widen(folder).c_str());
    const std::string temporary = temporaryFolder();
    ::SetEnvironmentVariableW(L"TMP", nullptr);
    EXPECT_EQ(temporary, folder + "\\");
}

TEST(WindowsTextHelpers, TextFromTheSystemArrivesAsUtf8) {
    // The prefix's code page is 1252.
    EXPECT_EQ(codePageToUtf8("J\xFCrgen \x96 O\x92" "Brien"), "J\xC3\xBCrgen \xE2\x80\x93 O\xE2\x80\x99" "Brien");
    EXPECT_EQ(codePageToUtf8(""), "");

    const std::string subkey = "SOFTWARE\\VESK\\TextHelperTest";
    RegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, widen(subkey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                key.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring cyrillic = L"C:\\\u041E\u0431\u043D\u043E\u0432\u043B\u0435\u043D\u0438\u0435";
    ::RegSetValueExW(key.get(), L"wide", 0, REG_SZ, reinterpret_cast<const BYTE*>(cyrillic.c_str()),
                     static_cast<DWORD>((cyrillic.size() + 1) * 2));
    const std::string codePage = "C:\\M\xFCller";
    ::RegSetValueExW(key.get(), L"bytes", 0, REG_BINARY, reinterpret_cast<const BYTE*>(codePage.c_str()),
                     static_cast<DWORD>(codePage.size()));
    EXPECT_EQ(readRegistryText(HKEY_LOCAL_MACHINE, subkey, "wide", 260), narrow(cyrillic));
    EXPECT_EQ(readRegistryText(HKEY_LOCAL_MACHINE, subkey, "bytes", 260), "C:\\M\xC3\xBCller");
    EXPECT_EQ(readRegistryText(HKEY_LOCAL_MACHINE, subkey, "wide", narrow(cyrillic).size()), std::nullopt);
    EXPECT_EQ(readRegistryText(HKEY_LOCAL_MACHINE, subkey, "missing", 260), std::nullopt);
    key.reset();
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, widen(subkey).c_str());

    // The system's error text arrives whole and in UTF-8.
    EXPECT_TRUE(isValidUtf8(getWindowsErrorMessage(ERROR_FILE_NOT_FOUND)));
    EXPECT_FALSE(getWindowsErrorMessage(ERROR_FILE_NOT_FOUND).empty());
}

TEST(WindowsTextHelpers, TheLogIsUtf8InAFolderOfAnyName) {
    vesk::test::TempDir dir;
    const std::string folder = dir.file("\xD0\x9B\xD0\xBE\xD0\xB3 \xE6\x97\xA5\xE5\xBF\x97 \xF0\x9F\x93\x9C");
    ASSERT_TRUE(::CreateDirectoryW(widen(folder).c_str(), nullptr));
    {
        Logger log(folder + "\\ui_logs.log");
        ASSERT_TRUE(log.isOpen());
        log.info("Install directory: " + folder);
    }
    const std::string bytes = vesk::test::readFileBytes(folder + "\\ui_logs.log");
    EXPECT_NE(bytes.find("[INFO] [] Install directory: " + folder + "\r\n"), std::string::npos) << bytes;
}
