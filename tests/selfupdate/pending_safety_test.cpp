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
