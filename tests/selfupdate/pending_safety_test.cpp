#include "selfupdate/pending_safety.h"

#include <gtest/gtest.h>

using namespace vesk::updater;

TEST(PendingSafety, OnlyPlainPathsBelowTheFolderLieInsideIt) {
    const std::string folder = "C:\\Program Files\\VESK";
    struct Case {
        std::string path;
        bool inside;
    };
    const Case cases[] = {
        {"C:\\Program Files\\VESK\\Updater.exe", true},
        {"c:\\program files\\vesk\\plugins\\x.dll", true},
        {"C:/Program Files/VESK/zlib1.dll", true},
        {"C:\\Program Files\\VESK", false},
        {"C:\\Program Files\\VESK\\", false},
        {"C:\\Program Files\\VESKA\\x.dll", false},
        {"C:\\Program Files\\VESK\\..\\x.dll", false},
        {"C:\\Program Files\\VESK\\sub\\..\\..\\x.dll", false},
        {"C:\\Program Files\\VESK\\.\\x.dll", false},
        {"C:\\Program Files\\VESK\\\\x.dll", false},
        {"C:\\Program Files\\VESK\\x.dll:stream", false},
        {"C:\\Program Files\\VESK\\x.dll.", false},
        {"C:\\Program Files\\VESK\\x.dll ", false},
        {"C:\\Program Files\\VESK\\NUL", false},
        {"C:\\Program Files\\VESK\\com1.txt", false},
        {"C:\\Program Files\\VESK\\a|b", false},
        {"\\\\?\\C:\\Program Files\\VESK\\x.dll", false},
        {"D:\\Program Files\\VESK\\x.dll", false},
        {"x.dll", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pathLiesInside(c.path, folder), c.inside) << c.path;
    }
    EXPECT_TRUE(pathLiesInside("C:\\Program Files\\VESK\\x.dll", folder + "\\"));
    EXPECT_FALSE(pathLiesInside("C:\\x.dll", ""));
}

TEST(PendingSafety, TheRunLockIsOnePerInstallFolder) {
    const std::string name = pendingLockName("C:\\Program Files\\VESK");
    EXPECT_EQ(name.rfind("Global\\VESK_Updater_PendingSelfUpdate_", 0), 0u);
    EXPECT_EQ(name.find('\\', 7), std::string::npos); // one namespace separator only
    EXPECT_EQ(pendingLockName("c:/program files/vesk\\"), name);
    EXPECT_NE(pendingLockName("C:\\Program Files\\VESK2"), name);
}

TEST(PendingSafety, ATrustedBuildNeedsAHashAndEverythingInsideItsFolder) {
    const std::string folder = "C:\\VESK";
    const std::string hash(64, 'a');
    struct Case {
        PendingFileEntry entry;
        std::string backup;
        std::string refusal;
    };
    const Case cases[] = {
        {{"s", "a.dll", "C:\\VESK\\a.dll", hash, ""}, "C:\\VESK\\backup\\a.dll.backup", ""},
        {{"s", "a.dll", "C:\\VESK\\a.dll", "", ""},
         "C:\\VESK\\backup\\a.dll.backup",
         "no expected SHA-256 for a.dll"},
        {{"s", "a.dll", "C:\\VESK\\a.dll", std::string(64, 'A'), ""},
         "C:\\VESK\\backup\\a.dll.backup",
         "the expected SHA-256 of a.dll is not 64 lower-case hexadecimal digits"},
        {{"s", "a.dll", "C:\\VESK\\..\\a.dll", hash, ""},
         "C:\\VESK\\backup\\a.dll.backup",
         "target outside the install folder C:\\VESK: C:\\VESK\\..\\a.dll"},
        // A record that claims another install folder, or a name that climbs out of the backup folder.
        {{"s", "a.dll", "C:\\VESK\\a.dll", hash, ""},
         "C:\\Other\\backup\\a.dll.backup",
         "backup outside the install folder C:\\VESK: C:\\Other\\backup\\a.dll.backup"},
        {{"s", "..\\..\\a", "C:\\VESK\\a.dll", hash, ""},
         "C:\\VESK\\backup\\..\\..\\a.backup",
         "backup outside the install folder C:\\VESK: C:\\VESK\\backup\\..\\..\\a.backup"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trustedPlacementRefusal(c.entry, c.backup, folder), c.refusal) << c.entry.targetPath;
    }
}
