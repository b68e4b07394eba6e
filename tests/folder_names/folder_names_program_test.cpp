// The real program in folders with the names people give them: accents, typographic punctuation, other
// scripts, emoji and lengths past 260 characters, as the install folder and as the temporary folder. Each row
// runs a self-replacement followed by a repair of the core files, then a deferred self-update, and checks
// every file by its digest and the log as UTF-8 naming the folder as it is.

#include "core/wide_text.h"
#include "program_run_win.h"
#include "support/child_input_win.h"
#include "support/console_simulator.h"
#include "support/selfupdate_kit.h"

#include <gtest/gtest.h>

#include <optional>

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

const std::string kInstallKey = "SOFTWARE\\Corvanne\\VESK";
const std::string kUpdaterKey = "SOFTWARE\\VESK\\Updater";
const std::string kRelease = "/updates/2.0.1/";

enum class Place { Install, Temporary };

struct FolderKind {
    const char* label;
    std::string name;      // a folder name, or "" for a path of `length` characters
    std::size_t length = 0;
};

// A relative folder that makes base + "\" + it exactly `length` characters, in steps short enough for a
// single name.
std::string folderOfLength(const std::string& base, std::size_t length) {
    std::string relative;
    std::size_t room = length - base.size() - 1;
    for (char letter = 'a'; room > 0; ++letter) {
        const std::size_t part = std::min<std::size_t>(room, 120);
        relative += std::string(part, letter);
        room -= part;
        if (room > 0) {
            relative += '\\';
            --room;
        }
    }
    return relative;
}

std::string relativeFolder(const std::string& parent, const FolderKind& kind) {
    return kind.length ? folderOfLength(parent, kind.length) : kind.name;
}

std::string prepared(TempDir& parent, const FolderKind& kind) {
    const std::string relative = relativeFolder(parent.path(), kind);
    std::string path = parent.path();
    std::size_t start = 0;
    for (std::size_t end = 0; end <= relative.size(); ++end) {
        if (end == relative.size() || relative[end] == '\\') {
            path += "\\" + relative.substr(start, end - start);
            ::CreateDirectoryW(widePath(path).c_str(), nullptr);
            start = end + 1;
        }
    }
    return relative;
}

std::string digestOf(const std::string& path) {
    return sha256Hex(readFileBytes(path));
}

} // namespace

TEST(AnyFolderName, SelfReplacementRepairAndDeferredUpdateWorkWhateverTheFoldersAreCalled) {
    const std::vector<FolderKind> kinds = {
        {"Western accents", "Programme M\xC3\xBCller \xC3\xA9"},
        {"typographic quotes and dashes", "Werkzeuge \xE2\x80\x93 O\xE2\x80\x99" "Brien"},
        {"Cyrillic", "\xD0\x9E\xD0\xB1\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBB\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5"},
        {"Cyrillic with a space",
         "\xD0\x92\xD1\x80\xD0\xB5\xD0\xBC\xD0\xB5\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5 "
         "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB\xD1\x8B"},
        {"CJK", "\xE6\x9B\xB4\xE6\x96\xB0\xE7\xA8\x8B\xE5\xBA\x8F"},
        {"emoji", "VESK \xF0\x9F\x9A\x80 Updates"},
        {"250 characters", "", 250},
        {"300 characters", "", 300},
    };
    const std::string builtProgram = builtProgramBytes();
    const std::string released = builtProgram + std::string("\0release 2.0.1 marker\0", 22);
    const std::string simulator = readFileBytes(executableDirectory() + "\\console_updater_simulator.exe");
    const std::string zlib = readFileBytes(integrationFixture("zlib1.dll"));
    const std::string curl = "libcurl of the release\n";
    const std::string sodium = "libsodium of the release\n";
    const std::string staged = "libcurl staged for the deferred update\n";
    const std::string launcher = executableDirectory() + "\\vesk_temp_launcher.exe";

    auto server = serverOnDefaultPort(5min);
    ASSERT_NE(server, nullptr) << "the built-in server's port stayed busy";
    server->respond(
        "/manifest.json", 200,
        manifestDocument(
            {manifestFileEntry("VESK_Updater.exe", {{"sha256", sha256Hex(released)}},
                               {{"size", std::to_string(released.size())}}),
             manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(simulator)}}),
             manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(curl)}}),
             manifestFileEntry("libsodium.dll", {{"sha256", sha256Hex(sodium)}}),
             manifestFileEntry("zlib1.dll", {{"sha256", sha256Hex(zlib)}})},
            "2.0", "1"));
    for (const char* name : {"VESK_Updater.exe", "libcurl.dll", "libsodium.dll"}) {
        server->respond(kRelease + name + ".zip", 404, "no archive");
    }
    server->respond(kRelease + "VESK_Updater.exe", 200, released);
    server->respond(kRelease + "libcurl.dll", 200, curl);
    server->respond(kRelease + "libsodium.dll", 200, sodium);
    ScopedMachineValue baseUrls(kUpdaterKey, "BaseUrls", std::nullopt);

    for (const FolderKind& kind : kinds) {
        for (const Place place : {Place::Install, Place::Temporary}) {
            SCOPED_TRACE(std::string(kind.label) + (place == Place::Install ? " install" : " temporary") +
                         " folder");
            TempDir temporaryParent;
            const std::string temporary =
                place == Place::Temporary ? temporaryParent.file(prepared(temporaryParent, kind))
                                          : temporaryParent.path();
            std::optional<ProgramInstall> made;
            if (place == Place::Install) {
                made.emplace(executableDirectory() + "\\VESK_Updater.exe",
                             [&kind](const std::string& parent) { return relativeFolder(parent, kind); });
            } else {
                made.emplace();
            }
            const ProgramInstall& install = *made;
            // No system starts a program past MAX_PATH: in such an install folder the program runs from an
            // ordinary one and cannot hand over to a copy of itself, but repairs the folder all the same.
            const bool startable = install.program().size() < MAX_PATH;
            std::optional<ProgramInstall> elsewhere;
            if (!startable) {
                elsewhere.emplace();
            }
            const ProgramInstall& running = startable ? install : *elsewhere;
            ASSERT_TRUE(fileExists(install.program())) << install.path();
            ScopedMachineValue installPath(kInstallKey, "InstallPath", install.path());
            for (const ProgramInstall* folder : {&install, &running}) {
                installSimulator(folder->path(), "line Update completed successfully\nexit 0\n");
            }
            ASSERT_TRUE(writeFileBytes(install.file("libsodium.dll"), "a damaged libsodium"));
            const std::string launch =
                "\"" + launcher + "\" \"" + temporary + "\" \"" + running.program() + "\"";

            // A replaced program that then repairs one damaged and one missing core file.
            const DetachedRun first = runDetachedWithInput(launch, "", SilentInputPipe().childEnd(), 3min);
            ASSERT_TRUE(first.ended);
            EXPECT_EQ(first.exitCode, 0u);
            // The program that finishes the run starts just as the copy ends; its last line says it is done.
            ASSERT_TRUE(pollUntil(
                [&] {
                    return containsMessage(logMessages(running.log()),
                                           "INFO VESK_Updater.exe exiting with code: 0");
                },
                3min));
            ASSERT_TRUE(waitUntilNoProcessInside(running.path(), 3min));
            EXPECT_EQ(digestOf(install.program()), sha256Hex(startable ? released : builtProgram));
            EXPECT_EQ(digestOf(install.file("libcurl.dll")), sha256Hex(curl));
            EXPECT_EQ(digestOf(install.file("libsodium.dll")), sha256Hex(sodium));
            EXPECT_EQ(digestOf(install.file("zlib1.dll")), sha256Hex(zlib));
            EXPECT_EQ(digestOf(install.file("Updater.exe")), sha256Hex(simulator));
            const std::string copy = install.file("update\\VESK_Updater.exe");
            if (startable) {
                EXPECT_TRUE(messagesInOrder(logMessages(install.copyLog()),
                                            {"INFO Verification passed - replacing VESK_Updater.exe",
                                             "INFO New VESK_Updater.exe launched successfully - exiting"}));
            }
            std::vector<std::string> expected = {"INFO Copying current VESK_Updater.exe to: " + copy,
                                                 "INFO Deleting: " + copy};
            if (!startable) {
                expected = {"ERROR Cannot start a program at " + copy +
                            ": the path is longer than Windows can start - self-update skipped"};
            }
            for (const std::string& line :
                 {"INFO Install directory: " + install.path(),
                  std::string("INFO Successfully updated: libcurl.dll"),
                  std::string("INFO Successfully updated: libsodium.dll"),
                  "INFO Using console updater: " + running.file("Updater.exe"),
                  std::string("INFO Update process completed with result: SUCCESS")}) {
                expected.push_back(line);
            }
            EXPECT_TRUE(messagesInOrder(logMessages(running.log()), expected));
            EXPECT_EQ(fileExists(install.file("update")), startable);

            // A deferred update staged in the folder of this row's place.
            const std::string stagedFolder = place == Place::Install ? install.path() : temporary;
            const std::string stagedFile = stagedFolder + "\\libcurl.dll.new";
            const std::string record = stagedFolder + "\\pending.json";
            ASSERT_TRUE(writeFileBytes(stagedFile, staged));
            ASSERT_TRUE(writeFileBytes(
                record, "{\n  \"install_directory\": " + jsonString(install.path()) +
                            ",\n  \"files\": [\n    {\"source_path\": " + jsonString(stagedFile) +
                            ", \"target_name\": \"libcurl.dll\", \"target_path\": " +
                            jsonString(install.file("libcurl.dll")) + ", \"expected_sha256\": " +
                            jsonString(sha256Hex(staged)) + "}\n  ]\n}\n"));
            ScopedMachineValue pending(kUpdaterKey, "PendingSelfUpdateManifest", record);
            const DetachedRun deferred =
                runDetachedWithInput(launch + " --process-self-update", "", SilentInputPipe().childEnd(), 3min);
            ASSERT_TRUE(deferred.ended);
            EXPECT_EQ(deferred.exitCode, 0u);
            EXPECT_EQ(digestOf(install.file("libcurl.dll")), sha256Hex(staged));
            EXPECT_FALSE(fileExists(stagedFile));
            EXPECT_TRUE(
                messagesInOrder(logMessages(running.log()),
                                {"INFO Manifest path from registry: " + record, "INFO Files successful: 1",
                                 "INFO Self-update processing completed successfully"}));
            const std::string logBytes = readFileBytes(running.log());
            EXPECT_TRUE(vesk::updater::isValidUtf8(logBytes));
            EXPECT_NE(logBytes.find(place == Place::Install ? install.path() : temporary), std::string::npos);
            ASSERT_TRUE(waitUntilNoProcessInside(running.path(), 60s));
        }
    }
}
