#include "support/temp_dir.h"
#include "ui/updater_window_win.h"
#include "ui/window_strings.h"

#include <gtest/gtest.h>

using namespace vesk::updater;
using vesk::test::TempDir;

namespace {

const std::string kIconFile = std::string(VESK_TESTS_SOURCE_DIR) + "/../resources/app_icon.ico";

int iconWidth(HICON icon) {
    ICONINFO info{};
    if (!::GetIconInfo(icon, &info)) {
        return 0;
    }
    BITMAP bitmap{};
    ::GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    if (info.hbmColor)
        ::DeleteObject(info.hbmColor);
    if (info.hbmMask)
        ::DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

std::wstring wide(const std::string& path) {
    return std::wstring(path.begin(), path.end());
}

// The test program carries no icon resource, so every choice here comes from files or the system.
HINSTANCE moduleWithoutIcon() {
    return ::GetModuleHandleW(nullptr);
}

} // namespace

TEST(WindowIcon, FallsBackToTheStockIconWithoutAnyIconFile) {
    TempDir dir;
    const WindowIcon choice = chooseWindowIcon(moduleWithoutIcon(), wide(dir.path()));
    EXPECT_EQ(choice.source, WindowIconSource::Stock);
    EXPECT_EQ(choice.icon, ::LoadIconW(nullptr, IDI_APPLICATION));
    EXPECT_FALSE(choice.owned); // the shared stock icon must never be destroyed
}

TEST(WindowIcon, UsesIconImageBesideTheExecutable) {
    TempDir dir;
    ASSERT_TRUE(::CopyFileA(kIconFile.c_str(), dir.file("icon_image.ico").c_str(), FALSE));
    const WindowIcon choice = chooseWindowIcon(moduleWithoutIcon(), wide(dir.path()));
    EXPECT_EQ(choice.source, WindowIconSource::BesideExecutable);
    ASSERT_TRUE(choice.owned);
    EXPECT_EQ(choice.icon, choice.owned.get());
    EXPECT_EQ(iconWidth(choice.icon), 64);
}

TEST(WindowIcon, DevelopmentTreeFileComesFirst) {
    TempDir dir;
    ASSERT_TRUE(::CreateDirectoryA(dir.file("build").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(dir.file("build\\x64").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryA(dir.file("build\\x64\\Release").c_str(), nullptr));
    const std::string executableDirectory = dir.file("build\\x64\\Release");
    for (const char* folder : {"Source", "Source\\Client", "Source\\Client\\VESK_Engine",
                               "Source\\Client\\VESK_Engine\\resources"}) {
        ASSERT_TRUE(::CreateDirectoryA(dir.file(folder).c_str(), nullptr));
    }
    ASSERT_TRUE(::CopyFileA(kIconFile.c_str(),
                            dir.file("Source\\Client\\VESK_Engine\\resources\\icon_image.ico").c_str(),
                            FALSE));
    ASSERT_TRUE(::CopyFileA(kIconFile.c_str(), (executableDirectory + "\\icon_image.ico").c_str(), FALSE));

    const WindowIcon choice = chooseWindowIcon(moduleWithoutIcon(), wide(executableDirectory));
    EXPECT_EQ(choice.source, WindowIconSource::SourceTreeFile);
    EXPECT_TRUE(choice.owned);
}

TEST(WindowIcon, UnreadableIconFileFallsThrough) {
    TempDir dir;
    ASSERT_TRUE(vesk::test::writeFileBytes(dir.file("icon_image.ico"), std::string(300, '\x5A')));
    const WindowIcon choice = chooseWindowIcon(moduleWithoutIcon(), wide(dir.path()));
    EXPECT_EQ(choice.source, WindowIconSource::Stock);
}

TEST(WindowStrings, BytesWidenOneToOne) {
    EXPECT_EQ(widenBytes(""), L"");
    EXPECT_EQ(widenBytes("Checking for updates..."), L"Checking for updates...");
    EXPECT_EQ(widenBytes("Caf\xE9"), L"Caf\u00E9");
    EXPECT_EQ(widenBytes("\x80\xFF"), L"\u0080\u00FF");
    // UTF-8 is not decoded: two bytes stay two characters.
    EXPECT_EQ(widenBytes("\xC3\xA9"), L"\u00C3\u00A9");
}

TEST(WindowStrings, ModuleFolderIsEverythingBeforeTheLastBackslash) {
    EXPECT_EQ(directoryOfModulePath(L"C:\\Program Files\\VESK\\VESK_Updater.exe"),
              L"C:\\Program Files\\VESK");
    EXPECT_EQ(directoryOfModulePath(L"VESK_Updater.exe"), L"VESK_Updater.exe");
}
