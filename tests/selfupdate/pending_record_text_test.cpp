// A pending record in UTF-8 as written today, or in the system code page an older writer used: read as such
// with a warning, rather than failing every file.

#include "core/wide_text.h"
#include "pending_test_helpers.h"
#include "selfupdate/pending_self_update_win.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace vesk::test;

namespace {
class SilentConsole : public vesk::updater::IPendingUpdateConsole {
    void open() override {}
    void writeLine(const std::string&) override {}
    void waitForKey() override {}
};
} // namespace

TEST(PendingRecordText, UsesTheFolderAsNamedWhetherTheRecordIsUtf8OrInTheCodePage) {
    // "Programme Müller" as the record spells it, and whether that is worth a warning.
    const std::pair<std::string, bool> rows[] = {{"Programme M\xC3\xBCller", false},
                                                 {"Programme M\xFCller", true}};
    for (const auto& [spelling, warned] : rows) {
        TempDir dir;
        const std::string install = dir.file("Programme M\xC3\xBCller");
        ASSERT_TRUE(::CreateDirectoryW(widePath(install).c_str(), nullptr));
        ASSERT_TRUE(writeFileBytes(install + "\\libcurl.dll.new", "abc"));
        const std::string folder = jsonEscape(dir.file(spelling));
        const std::string record = dir.file("pending.json");
        ASSERT_TRUE(writeFileBytes(record, "{\"install_directory\": \"" + folder +
                                               "\", \"files\": [{\"source_path\": \"" + folder +
                                               "\\\\libcurl.dll.new\", \"target_name\": \"libcurl.dll\", " +
                                               "\"target_path\": \"" + folder + "\\\\libcurl.dll\"}]}\n"));
        ASSERT_TRUE(setMachineString("SOFTWARE\\VESK\\Updater", "PendingSelfUpdateManifest", record));
        const LogTail log;
        SilentConsole console;

        EXPECT_EQ(vesk::updater::processPendingSelfUpdate(console), 0) << spelling;
        EXPECT_EQ(readFileBytes(install + "\\libcurl.dll"), "abc") << spelling;
        EXPECT_EQ(
            log.hasLine("WARNING",
                        "Pending manifest is not UTF-8 - reading it in the system code page: " + record),
            warned);
        EXPECT_TRUE(vesk::updater::isValidUtf8(log.text()));
        deleteMachineValue("SOFTWARE\\VESK\\Updater", "PendingSelfUpdateManifest");
    }
}
