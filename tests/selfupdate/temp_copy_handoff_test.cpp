#include "pending_test_helpers.h"
#include "selfupdate/temp_copy_handoff_win.h"
#include "support/console_simulator.h"
#include "support/temp_dir.h"

#include "core/current_channel.h"

#include "support/selfupdate_kit.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <map>

using namespace vesk::updater;
using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

const char kInstallKey[] = "SOFTWARE\\Corvanne\\VESK";
const char kInstallValue[] = "InstallPath";

// An install folder whose path is in the registry, with the console updater simulator as Updater.exe when
// asked for. The previous registry value and channel come back afterwards.
class TempCopyHandoff : public ::testing::Test {
protected:
    void SetUp() override {
        hadInstallPath = readMachineString(kInstallKey, kInstallValue, previousInstallPath);
        previousChannel = currentChannel;
        install = dir.path();
        ASSERT_TRUE(setMachineString(kInstallKey, kInstallValue, install));
    }
    void TearDown() override {
        // The simulator may still be ending after its record is complete; its program file goes once it has.
        const std::string consoleUpdater = install + "\\Updater.exe";
        for (int attempt = 0; attempt < 500 && fileExists(consoleUpdater); ++attempt) {
            if (!::DeleteFileA(consoleUpdater.c_str())) {
                ::Sleep(20);
            }
        }
        currentChannel = previousChannel;
        if (hadInstallPath) {
            setMachineString(kInstallKey, kInstallValue, previousInstallPath);
        } else {
            deleteMachineValue(kInstallKey, kInstallValue);
        }
    }

    void placeTempCopy() { ASSERT_TRUE(writeFileBytes(install + "\\VESK_Updater_temp.exe", "new program")); }
    void placeConsoleUpdater() { consoleUpdater = installSimulator(install, "exit 0\n"); }

    // Waits until the simulator has recorded its start and ended its script.
    std::map<std::string, std::string> awaitStartRecord() {
        std::map<std::string, std::string> record;
        const bool finished = pollUntil(
            [&] {
                record = readSimulatorRecord(consoleUpdater);
                return record.count("finished") == 1;
            },
            30s);
        EXPECT_TRUE(finished) << "the console updater was not started";
        return record;
    }

    TempDir dir;
    std::string install;
    std::string consoleUpdater;
    bool hadInstallPath = false;
    std::string previousInstallPath;
    std::string previousChannel;
};

} // namespace

TEST_F(TempCopyHandoff, WithoutATempCopyNothingIsStarted) {
    placeConsoleUpdater();
    const LogTail log;

    EXPECT_FALSE(runTempCopyHandoff());

    EXPECT_TRUE(log.hasLine("INFO", "Checking for VESK_Updater_temp.exe..."));
    EXPECT_TRUE(log.hasLine("INFO", "Checking temp file: " + install + "\\VESK_Updater_temp.exe"));
    EXPECT_TRUE(log.hasLine("INFO", "No temp file detected - normal startup"));
    EXPECT_EQ(log.text().find("detected!"), std::string::npos);
    EXPECT_TRUE(readSimulatorRecord(consoleUpdater).empty());
}

TEST_F(TempCopyHandoff, ATempCopyWithoutTheConsoleUpdaterIsLeftInPlace) {
    placeTempCopy();
    const LogTail log;

    EXPECT_FALSE(runTempCopyHandoff());

    EXPECT_TRUE(log.hasLine("INFO", "=== VESK_Updater_temp.exe detected! ==="));
    EXPECT_TRUE(log.hasLine("INFO", "Launching Updater.exe to handle replacement..."));
    EXPECT_TRUE(log.hasLine("ERROR", "Updater.exe not found at: " + install + "\\Updater.exe"));
    EXPECT_TRUE(log.hasLine("ERROR", "Cannot perform self-update without Updater.exe"));
    EXPECT_EQ(readFileBytes(install + "\\VESK_Updater_temp.exe"), "new program");
}

TEST_F(TempCopyHandoff, StartsTheConsoleUpdaterHiddenInTheInstallFolderWithTheChannel) {
    placeTempCopy();
    placeConsoleUpdater();
    currentChannel = "beta";
    const LogTail log;

    EXPECT_TRUE(runTempCopyHandoff());

    const auto record = awaitStartRecord();
    EXPECT_EQ(record.at("command_line"), "\"" + consoleUpdater + "\" --channel beta");
    EXPECT_EQ(record.at("working_directory"), install);
    EXPECT_EQ(record.at("show_window"), "0");
    EXPECT_TRUE(log.hasLine("INFO", "Updater.exe found at: " + install + "\\Updater.exe"));
    EXPECT_TRUE(log.hasLine("INFO", "Launching Updater.exe for silent self-update..."));
    EXPECT_TRUE(log.hasLine("INFO", "Passing channel to Updater.exe: -- beta"));
    EXPECT_TRUE(log.hasLine("INFO", "Updater.exe launched successfully"));
    EXPECT_TRUE(log.hasLine("INFO", "VESK_Updater.exe will now exit to allow replacement"));
    // The replacement is the console updater's business: the temp copy is left alone here.
    EXPECT_EQ(readFileBytes(install + "\\VESK_Updater_temp.exe"), "new program");
}

TEST_F(TempCopyHandoff, TheDefaultChannelIsNeverPassedOn) {
    placeTempCopy();
    placeConsoleUpdater();
    for (const std::string channel : {"", "stable"}) {
        SCOPED_TRACE("channel \"" + channel + "\"");
        ::DeleteFileA((consoleUpdater + ".record").c_str());
        currentChannel = channel;
        const LogTail log;

        EXPECT_TRUE(runTempCopyHandoff());

        const auto record = awaitStartRecord();
        EXPECT_EQ(record.at("command_line"), "\"" + consoleUpdater + "\"");
        EXPECT_EQ(record.at("working_directory"), install);
        EXPECT_EQ(log.text().find("Passing channel"), std::string::npos);
        EXPECT_TRUE(log.hasLine("INFO", "Updater.exe launched successfully"));
    }
}

TEST_F(TempCopyHandoff, AConsoleUpdaterThatCannotStartIsReported) {
    placeTempCopy();
    ASSERT_TRUE(writeFileBytes(install + "\\Updater.exe", "not a program"));
    const LogTail log;

    EXPECT_FALSE(runTempCopyHandoff());

    // Returns at once with the loader's verdict (bad executable format) instead of waiting on an error box.
    EXPECT_TRUE(log.hasLine("ERROR", "Failed to launch Updater.exe. Error code: 193"));
    EXPECT_FALSE(log.hasLine("INFO", "Updater.exe launched successfully"));
    EXPECT_TRUE(fileExists(install + "\\VESK_Updater_temp.exe"));
}

TEST_F(TempCopyHandoff, AnInstallFolderThatCannotBeLookedIntoHandsNothingOver) {
    // A folder name the file system refuses: the look-up fails with an error other than "not found".
    const std::string unusable = install + "\\bad|folder";
    ASSERT_TRUE(setMachineString(kInstallKey, kInstallValue, unusable));
    const LogTail log;

    EXPECT_FALSE(runTempCopyHandoff());

    EXPECT_TRUE(log.hasLine("WARNING", "Could not check temp file: " + unusable +
                                           "\\VESK_Updater_temp.exe (error 123)"));
    EXPECT_EQ(log.text().find("detected"), std::string::npos);
}
