// The text helpers between the program's UTF-8 and the system's UTF-16: path forms, buffers that grow to
// fit, the command line and the code-page fallback. Folders of every kind end to end: tests/folder_names.

#include "app/command_line.h"
#include "core/handles_win.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace vesk::updater;

TEST(WideTextHelpers, ExtendedFormOnlyForLongFullPaths) {
    const std::wstring drive = L"C:\\" + std::wstring(245, L'x'); // 248 characters
    const std::wstring share = L"\\\\server\\" + std::wstring(240, L'y');
    const std::pair<std::wstring, std::wstring> rows[] = {
        {drive.substr(0, 247), drive.substr(0, 247)},
        {drive, L"\\\\?\\" + drive},
        {share, L"\\\\?\\UNC\\server\\" + std::wstring(240, L'y')},
        {L"\\\\?\\" + drive, L"\\\\?\\" + drive},
        {L"\\\\.\\pipe\\" + drive, L"\\\\.\\pipe\\" + drive},
        {drive.substr(3), drive.substr(3)}, // relative: the form would change its meaning
    };
    for (const auto& [path, expected] : rows) {
        EXPECT_EQ(extendedLengthPath(path), expected) << narrow(path).substr(0, 12);
    }
}

TEST(WideTextHelpers, GrowingBufferFitsEachWayACallReportsTooLittleRoom) {
    // length, whether the call names the room it needs (else it cuts the value off), whether a value comes
    const std::tuple<std::size_t, bool, bool> rows[] = {
        {10, false, true},   {260, false, true},   {5000, false, true},  {260, true, true},
        {32767, true, true}, {40000, true, false}, {40000, false, false}};
    for (const auto& [length, namesRoom, fits] : rows) {
        const std::wstring value(length, L'v');
        const std::wstring got = readGrowing([&](wchar_t* buffer, unsigned long room) -> unsigned long {
            if (value.size() + 1 <= room) {
                std::copy(value.begin(), value.end(), buffer);
                return static_cast<unsigned long>(value.size());
            }
            std::copy_n(value.begin(), room, buffer);
            return namesRoom ? static_cast<unsigned long>(value.size() + 1) : room;
        });
        EXPECT_EQ(got, fits ? value : std::wstring()) << length;
    }
    EXPECT_EQ(readGrowing([](wchar_t*, unsigned long) { return 0ul; }), L"");
}

TEST(WideTextHelpers, ArgumentsFollowTheProgramNameAsWinMainWouldHandThemOver) {
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"\"C:\\Programme M\u00FCller\\VESK_Updater.exe\" -c beta", L"-c beta"},
        {L"\"C:\\\u66F4\u65B0\\VESK_Updater.exe\"--restart-done", L"--restart-done"},
        {L"VESK_Updater.exe  \t --process-self-update", L"--process-self-update"},
        {L"VESK_Updater.exe", L""},
        {L"\"C:\\unclosed quote -c beta", L""},
        {L"", L""},
    };
    for (const auto& [full, arguments] : rows) {
        EXPECT_EQ(argumentsAfterProgramName(full), arguments) << narrow(full);
    }
}

TEST(WindowsTextHelpers, LongPathsAreNormalisedAndCodePageTextBecomesUtf8) {
    vesk::test::TempDir dir;
    const std::string folder = dir.file(std::string(150, 'a') + "\\" + std::string(150, 'b'));
    // Slashes and "." are cleaned up before the extended form switches that off.
    EXPECT_EQ(pathForWindows(dir.file(std::string(150, 'a') + "/./" + std::string(150, 'b'))),
              L"\\\\?\\" + widen(folder));

    // The prefix's code page is 1252; raw registry bytes in it are read the same way.
    EXPECT_EQ(codePageToUtf8("J\xFCrgen \x96 O\x92"
                             "Brien"),
              "J\xC3\xBCrgen \xE2\x80\x93 O\xE2\x80\x99"
              "Brien");
    const std::string subkey = "SOFTWARE\\VESK\\TextHelperTest";
    RegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, widen(subkey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                key.put(), nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(key.get(), L"bytes", 0, REG_BINARY, reinterpret_cast<const BYTE*>("C:\\M\xFCller"), 9);
    EXPECT_EQ(readRegistryText(HKEY_LOCAL_MACHINE, subkey, "bytes", 260), "C:\\M\xC3\xBCller");
    EXPECT_EQ(readRegistryText(HKEY_LOCAL_MACHINE, subkey, "bytes", 9), std::nullopt);
    key.reset();
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, widen(subkey).c_str());
}
