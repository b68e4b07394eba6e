// The text of a pending self-update record: UTF-8 as written today, or the system code page an older writer
// used, which is read as such with a warning rather than failing every file.

#include "core/wide_text.h"

#include <windows.h>
#include "pending_test_helpers.h"
#include "selfupdate/pending_self_update_win.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace vesk::test;

namespace {

class SilentConsole : public vesk::updater::IPendingUpdateConsole {
public:
    void open() override {}
    void writeLine(const std::string&) override {}
    void waitForKey() override {}
};

} // namespace

TEST(PendingRecordText, UsesTheFolderAsNamedWhetherTheRecordIsUtf8OrInTheCodePage) {
    const struct {
        const char* label;
        std::string folderInRecord; // "Programme Müller" as the record spells it
        bool warned;
    } rows[] = {
        {"UTF-8", "Programme M\xC3\xBCller", false},
        {"code page 1252", "Programme M\xFCller", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        const std::string install = dir.file("Programme M\xC3\xBCller");
        ASSERT_TRUE(::CreateDirectoryW(widePath(install).c_str(), nullptr));
        ASSERT_TRUE(writeFileBytes(install + "\\libcurl.dll.new", "abc"));
        const std::string inRecord = jsonEscape(dir.file(row.folderInRecord));
        const std::string record = dir.file("pending.json");
        ASSERT_TRUE(writeFileBytes(
            record, "{\"install_directory\": \"" + inRecord + "\", \"files\": [{\"source_path\": \"" + inRecord +
                        "\\\\libcurl.dll.new\", \"target_name\": \"libcurl.dll\", \"target_path\": \"" + inRecord +
                        "\\\\libcurl.dll\", \"expected_sha256\": "
                        "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"}]}\n"));
        ASSERT_TRUE(setMachineString("SOFTWARE\\VESK\\Updater", "PendingSelfUpdateManifest", record));
        const LogTail log;
        SilentConsole console;

        EXPECT_EQ(vesk::updater::processPendingSelfUpdate(console), 0);

        EXPECT_EQ(readFileBytes(install + "\\libcurl.dll"), "abc");
        EXPECT_EQ(log.hasLine("WARNING",
                              "Pending manifest is not UTF-8 - reading it in the system code page: " + record),
                  row.warned);
        EXPECT_TRUE(vesk::updater::isValidUtf8(log.text()));
        deleteMachineValue("SOFTWARE\\VESK\\Updater", "PendingSelfUpdateManifest");
    }
}
