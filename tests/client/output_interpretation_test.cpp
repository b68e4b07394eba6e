#include "client/output_interpretation.h"
#include "support/recording_callback.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

using vesk::test::RecordingCallback;
using vesk::updater::interpretOutputLine;

namespace {

struct LineCase {
    const char* name;
    std::string line;
    int progressBefore;
    std::vector<std::string> events;
    int progressAfter;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class InterpretLine : public testing::TestWithParam<LineCase> {};

TEST_P(InterpretLine, ReportsAndProgress) {
    const LineCase& c = GetParam();
    RecordingCallback callback;
    int progress = c.progressBefore;
    interpretOutputLine(c.line, progress, callback);
    EXPECT_EQ(callback.events(), c.events) << "line: " << c.line;
    EXPECT_EQ(progress, c.progressAfter) << "line: " << c.line;
}

const std::vector<std::string> kNothing{};

std::string caseName(const testing::TestParamInfo<LineCase>& info) {
    return info.param.name;
}

// One or more lines per phrase, embedded the way a console program prints them.
INSTANTIATE_TEST_SUITE_P(
    Phrases, InterpretLine,
    testing::Values(LineCase{"EmptyLineIgnored", "", 10, kNothing, 10},
                    LineCase{"UnknownLineDropped", "Reading configuration from disk", 33, kNothing, 33},
                    LineCase{"ClientStarting",
                             "[INFO] VESK Update Client starting (v2.4.1)",
                             10,
                             {"status:Starting VESK Update Client...", "progress:15"},
                             15},
                    LineCase{"CheckingForUpdates",
                             "Checking for updates from https://updates.example/manifest.json",
                             15,
                             {"status:Connecting to update server...", "progress:20"},
                             20},
                    LineCase{"DownloadedManifest",
                             "Downloaded manifest (2048 bytes)",
                             20,
                             {"status:Downloading update manifest...", "progress:30"},
                             30},
                    LineCase{"DownloadingManifestLowerCase",
                             "Now downloading manifest...",
                             20,
                             {"status:Downloading update manifest...", "progress:30"},
                             30},
                    LineCase{"PhrasesAreCaseSensitive", "Downloading Manifest", 20, kNothing, 20},
                    LineCase{"VerifiedSuccessfully",
                             "Manifest signature verified successfully",
                             30,
                             {"status:Verifying manifest signature...", "progress:40"},
                             40},
                    LineCase{"AnyVerifyingLine",
                             "Verifying file hashes of 12 files",
                             60,
                             {"status:Verifying manifest signature...", "progress:40"},
                             40},
                    LineCase{"NoUpdateRequired",
                             "No update required - already at build 512",
                             40,
                             {"status:No updates available", "progress:100"},
                             100},
                    LineCase{"NoUpdatesAvailable",
                             "No updates available",
                             40,
                             {"status:No updates available", "progress:100"},
                             100},
                    LineCase{"StartingUpdateProcess",
                             "Starting update process",
                             40,
                             {"status:Starting update process...", "progress:45"},
                             45},
                    LineCase{"StoppingService",
                             "Stopping services VESKSvc and VESKHelper",
                             45,
                             {"status:Stopping VESK services...", "progress:50"},
                             50},
                    LineCase{"UpdateCompleted",
                             "Update completed successfully in 3.2s",
                             87,
                             {"status:Update completed successfully!", "progress:100"},
                             100},
                    LineCase{"InstallingServices",
                             "Installing VESK services: VESKSvc",
                             50,
                             {"status:Installing VESK services...", "progress:60"},
                             60},
                    LineCase{"InstallingServicesMovesTheBarBack",
                             "Installing VESK services",
                             87,
                             {"status:Installing VESK services...", "progress:60"},
                             60},
                    LineCase{"CleaningUpBackup",
                             "Cleaning up backup folder",
                             60,
                             {"status:Cleaning up backup files...", "progress:95"},
                             95}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    FileLines, InterpretLine,
    testing::Values(
        LineCase{"MixedSeparatorsKeepLastComponent",
                 "Updated: C:\\Program Files\\App\\bin/tool.dll",
                 10,
                 {"status:Installing: tool.dll", "progress:13"},
                 13},
        LineCase{"BackslashOnly",
                 "Installing: data\\paks\\core.pak",
                 50,
                 {"status:Installing: core.pak", "progress:53"},
                 53},
        LineCase{
            "NoSeparator", "Updated: readme.txt", 20, {"status:Installing: readme.txt", "progress:23"}, 23},
        LineCase{"NothingAfterPhrase", "Installing:", 10, {"status:Installing files...", "progress:13"}, 13},
        LineCase{"OnlyASpaceAfterColon", "Updated: ", 10, {"status:Installing files...", "progress:13"}, 13},
        LineCase{"OneCharacterName", "Updated: x", 10, {"status:Installing: x", "progress:13"}, 13},
        LineCase{"CharacterAfterColonIsSkippedWhateverItIs",
                 "Updated:ab",
                 10,
                 {"status:Installing: b", "progress:13"},
                 13},
        LineCase{"FirstColonDecidesEvenInATimeStamp",
                 "12:00:01 Updated: C:\\Game\\a.dll",
                 10,
                 {"status:Installing: a.dll", "progress:13"},
                 13},
        LineCase{"FirstColonOfATimeStampWithoutPath",
                 "12:00:01 Updated: a.dll",
                 10,
                 {"status:Installing: 0:01 Updated: a.dll", "progress:13"},
                 13},
        LineCase{"TrailingSeparatorGivesEmptyName",
                 "Updated: bin/",
                 10,
                 {"status:Installing: ", "progress:13"},
                 13},
        LineCase{"StepFrom84ReachesTheHighest87",
                 "Updated: a.dll",
                 84,
                 {"status:Installing: a.dll", "progress:87"},
                 87},
        LineCase{"At85NoProgressIsReported", "Updated: a.dll", 85, {"status:Installing: a.dll"}, 85},
        LineCase{"Above85NoProgressIsReported", "Updated: a.dll", 100, {"status:Installing: a.dll"}, 100},
        LineCase{
            "BelowZeroStillSteps", "Updated: a.dll", -5, {"status:Installing: a.dll", "progress:-2"}, -2}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    ErrorLines, InterpretLine,
    testing::Values(
        LineCase{"ErrorPrefixThenFailed",
                 "ERROR: Failed to replace VESK.exe (access denied)",
                 53,
                 {"error:Failed to replace VESK.exe (access denied)"},
                 53},
        LineCase{
            "FailedBeforeError", "Download Failed with ERROR 404", 20, {"error:Failed with ERROR 404"}, 20},
        LineCase{"TextFromFirstFailed",
                 "[ERROR] Failed: step Failed twice",
                 20,
                 {"error:Failed: step Failed twice"},
                 20},
        LineCase{"ErrorWithoutFailedIsDropped", "ERROR: disk almost full", 20, kNothing, 20},
        LineCase{"FailedWithoutErrorIsDropped", "Failed to reach mirror 2, trying mirror 3", 20, kNothing,
                 20},
        LineCase{"LowerCaseErrorDoesNotCount", "error: Failed to open", 20, kNothing, 20},
        LineCase{"FailedWithoutErrorFallsToServices",
                 "Failed once, Installing VESK services again",
                 70,
                 {"status:Installing VESK services...", "progress:60"},
                 60},
        LineCase{"FailedWithoutErrorFallsToBackup",
                 "Failed to delete, Cleaning up backup later",
                 70,
                 {"status:Cleaning up backup files...", "progress:95"},
                 95},
        LineCase{"ErrorLineWinsOverServices",
                 "ERROR Failed: Installing VESK services",
                 70,
                 {"error:Failed: Installing VESK services"},
                 70}),
    caseName);

// When a line carries several phrases, the earlier rule wins.
INSTANTIATE_TEST_SUITE_P(Precedence, InterpretLine,
                         testing::Values(LineCase{"StartingBeatsChecking",
                                                  "VESK Update Client starting; Checking for updates from x",
                                                  10,
                                                  {"status:Starting VESK Update Client...", "progress:15"},
                                                  15},
                                         LineCase{"VerifyingBeatsNoUpdate",
                                                  "Verifying: No update required",
                                                  30,
                                                  {"status:Verifying manifest signature...", "progress:40"},
                                                  40},
                                         LineCase{"StoppingBeatsFileLine",
                                                  "Stopping service before Updated: a.dll",
                                                  45,
                                                  {"status:Stopping VESK services...", "progress:50"},
                                                  50},
                                         LineCase{"FileLineBeatsCompleted",
                                                  "Updated: a.dll - Update completed successfully",
                                                  60,
                                                  {"status:Installing: a.dll - Update completed successfully",
                                                   "progress:63"},
                                                  63},
                                         LineCase{"CompletedBeatsErrorLine",
                                                  "Update completed successfully (ERROR log: 0 Failed)",
                                                  60,
                                                  {"status:Update completed successfully!", "progress:100"},
                                                  100},
                                         LineCase{"FileLineBeatsErrorLine",
                                                  "ERROR Installing: Failed",
                                                  60,
                                                  {"status:Installing: Failed", "progress:63"},
                                                  63},
                                         LineCase{"ServicesBeatsBackup",
                                                  "Installing VESK services, Cleaning up backup",
                                                  60,
                                                  {"status:Installing VESK services...", "progress:60"},
                                                  60}),
                         caseName);

// The rules written out plainly, one search per phrase in their order of precedence. Lines made at random
// from phrases, pieces of phrases and odd bytes must get the same reports and progress from both.
void interpretPlainly(std::string_view line, int& progress, RecordingCallback& callback) {
    const auto has = [&](std::string_view phrase) { return line.find(phrase) != std::string_view::npos; };
    struct Rule {
        std::string_view phrase, alternative, status;
        int progress;
    };
    const Rule before[] = {{"VESK Update Client starting", "", "Starting VESK Update Client...", 15},
                           {"Checking for updates from", "", "Connecting to update server...", 20},
                           {"Downloaded manifest", "downloading manifest", "Downloading update manifest...", 30},
                           {"verified successfully", "Verifying", "Verifying manifest signature...", 40},
                           {"No update required", "No updates available", "No updates available", 100},
                           {"Starting update process", "", "Starting update process...", 45},
                           {"Stopping service", "", "Stopping VESK services...", 50}};
    const Rule after[] = {{"Installing VESK services", "", "Installing VESK services...", 60},
                          {"Cleaning up backup", "", "Cleaning up backup files...", 95}};
    const auto applies = [&](const Rule& rule) {
        if (!has(rule.phrase) && (rule.alternative.empty() || !has(rule.alternative))) {
            return false;
        }
        callback.onStatus(std::string(rule.status));
        progress = rule.progress;
        callback.onProgress(progress);
        return true;
    };
    for (const Rule& rule : before) {
        if (applies(rule)) {
            return;
        }
    }
    if (has("Updated:") || has("Installing:")) {
        const size_t colon = line.find(':');
        if (colon + 2 >= line.size()) {
            callback.onStatus("Installing files...");
        } else {
            const std::string_view name = line.substr(colon + 2);
            const size_t separator = name.find_last_of("\\/");
            callback.onStatus("Installing: " +
                              std::string(separator == std::string_view::npos ? name : name.substr(separator + 1)));
        }
        if (progress < 85) {
            progress += 3;
            callback.onProgress(progress);
        }
        return;
    }
    if (applies({"Update completed successfully", "", "Update completed successfully!", 100})) {
        return;
    }
    if (has("Failed") && has("ERROR")) {
        callback.onError(std::string(line.substr(line.find("Failed"))));
        return;
    }
    for (const Rule& rule : after) {
        if (applies(rule)) {
            return;
        }
    }
}

TEST(InterpretLineRandom, SameAsThePlainRulesForManyMadeUpLines) {
    const std::vector<std::string> pieces{
        "VESK Update Client starting", "Checking for updates from", "Downloaded manifest", "downloading manifest",
        "verified successfully", "Verifying", "No update required", "No updates available",
        "Starting update process", "Stopping service", "Update completed successfully",
        "Installing VESK services", "Cleaning up backup", "Updated:", "Installing:", "Failed", "ERROR",
        "VESK Update", "Verif", "ied successfully", "downloading manifes", "Update complete", "Install",
        "Faile", "ERRO", "manifest", "file", "of", "C:\\Game\\a.dll", "bin/x", " ", ": ", "f", "F", "V", "\r",
        std::string(1, '\0'), "\xC6", "\xE6", "\xD6", "simulated console output", "........"};
    std::mt19937 random(20240611);
    for (int round = 0; round < 20000; ++round) {
        std::string line;
        const int count = static_cast<int>(random() % 9);
        for (int piece = 0; piece < count; ++piece) {
            line += pieces[random() % pieces.size()];
        }
        const int start = std::vector<int>{-5, 10, 50, 84, 85, 100}[random() % 6];
        RecordingCallback plain;
        RecordingCallback fast;
        int plainProgress = start;
        int fastProgress = start;
        interpretPlainly(line, plainProgress, plain);
        interpretOutputLine(line, fastProgress, fast);
        ASSERT_EQ(fast.events(), plain.events()) << "line: " << line;
        ASSERT_EQ(fastProgress, plainProgress) << "line: " << line;
    }
}

TEST(InterpretLineSequence, TwentyFiveFileLinesReach85AndTheTwentySixthReportsNoProgress) {
    RecordingCallback callback;
    int progress = 10;
    for (int i = 1; i <= 25; ++i) {
        callback.clear();
        interpretOutputLine("Updated: file" + std::to_string(i) + ".dat", progress, callback);
        ASSERT_EQ(callback.events().size(), 2u) << "file line " << i;
        EXPECT_EQ(progress, 10 + 3 * i);
    }
    EXPECT_EQ(progress, 85);

    callback.clear();
    interpretOutputLine("Updated: file26.dat", progress, callback);
    EXPECT_EQ(callback.events(), (std::vector<std::string>{"status:Installing: file26.dat"}));
    EXPECT_EQ(progress, 85);

    // The services phase sets its own value, so the bar goes back from the file phase.
    callback.clear();
    interpretOutputLine("Installing VESK services", progress, callback);
    EXPECT_EQ(callback.events(),
              (std::vector<std::string>{"status:Installing VESK services...", "progress:60"}));
    EXPECT_EQ(progress, 60);
}

TEST(InterpretLineSequence, NoUpdateRequiredDoesNotComplete) {
    RecordingCallback callback;
    int progress = 10;
    interpretOutputLine("No update required", progress, callback);
    interpretOutputLine("Update completed successfully", progress, callback);
    for (const std::string& event : callback.events()) {
        EXPECT_EQ(event.rfind("complete:", 0), std::string::npos) << event;
    }
}

} // namespace
