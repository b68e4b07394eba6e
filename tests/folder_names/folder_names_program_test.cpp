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

using namespace vesk::test;
using namespace std::chrono_literals;

namespace {

const std::string kUpdaterKey = "SOFTWARE\\VESK\\Updater";
const std::string kRelease = "/updates/2.0.1/";

// A name, or for a length the relative folder that makes parent + "\" + it that many characters.
struct FolderKind {
    std::string name;
    std::size_t length = 0;
    std::string in(const std::string& parent) const {
        std::string relative = name;
        while (length && parent.size() + 1 + relative.size() < length) {
            relative += relative.empty() || relative.size() % 101 != 100 ? 'l' : '\\';
        }
        return relative;
    }
};

std::string digestOf(const std::string& path) {
    return sha256Hex(readFileBytes(path));
}

} // namespace

TEST(AnyFolderName, SelfReplacementRepairAndDeferredUpdateWorkWhateverTheFoldersAreCalled) {
    const FolderKind kinds[] = {
        {"Programme M\xC3\xBCller \xC3\xA9"},
        {"Werkzeuge \xE2\x80\x93 O\xE2\x80\x99"
         "Brien"},
        {"\xD0\x9E\xD0\xB1\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBB\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5"},
        {"\xD0\x92\xD1\x80\xD0\xB5\xD0\xBC\xD0\xB5\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5 "
         "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB\xD1\x8B"},
        {"\xE6\x9B\xB4\xE6\x96\xB0\xE7\xA8\x8B\xE5\xBA\x8F"},
        {"VESK \xF0\x9F\x9A\x80 Updates"},
        {"", 250},
        {"", 300},
    };
    const std::string built = builtProgramBytes();
    const std::string released = built + std::string("\0release 2.0.1 marker\0", 22);
    const std::string simulator = readFileBytes(executableDirectory() + "\\console_updater_simulator.exe");
    const std::string zlib = readFileBytes(integrationFixture("zlib1.dll"));
    const std::string curl = "libcurl of the release\n", sodium = "libsodium of the release\n";
    const std::string staged = "libcurl staged for the deferred update\n";

    auto server = serverOnDefaultPort(5min);
    ASSERT_NE(server, nullptr) << "the built-in server's port stayed busy";
    server->respond(
        "/manifest.json", 200,
        manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"sha256", sha256Hex(released)}}),
                          manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(simulator)}}),
                          manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(curl)}}),
                          manifestFileEntry("libsodium.dll", {{"sha256", sha256Hex(sodium)}}),
                          manifestFileEntry("zlib1.dll", {{"sha256", sha256Hex(zlib)}})},
                         "2.0", "1"));
    for (const auto& [name, bytes] :
         {std::pair{"VESK_Updater.exe", released}, {"libcurl.dll", curl}, {"libsodium.dll", sodium}}) {
        server->respond(kRelease + name + ".zip", 404, "no archive");
        server->respond(kRelease + name, 200, bytes);
    }
    ScopedMachineValue baseUrls(kUpdaterKey, "BaseUrls", std::nullopt);

    for (const FolderKind& kind : kinds) {
        for (const bool inInstall : {true, false}) {
            SCOPED_TRACE((kind.length ? std::to_string(kind.length) + " characters" : kind.name) +
                         (inInstall ? " as the install folder" : " as the temporary folder"));
            TempDir parent;
            const std::string temporary = inInstall ? parent.path() : parent.file(kind.in(parent.path()));
            ASSERT_TRUE(createFolders(temporary));
            const ProgramInstall install(executableDirectory() + "\\VESK_Updater.exe",
                                         [&](const std::string& at) { return inInstall ? kind.in(at) : ""; });
            // No system starts a program past MAX_PATH: in such an install folder the program runs from an
            // ordinary one and cannot hand over to a copy of itself, but repairs the folder all the same.
            const bool startable = install.program().size() < MAX_PATH;
            const ProgramInstall elsewhere;
            const ProgramInstall& running = startable ? install : elsewhere;
            ScopedMachineValue installPath("SOFTWARE\\Corvanne\\VESK", "InstallPath", install.path());
            for (const ProgramInstall* folder : {&install, &running}) {
                installSimulator(folder->path(), "line Update completed successfully\nexit 0\n");
            }
            ASSERT_TRUE(writeFileBytes(install.file("libsodium.dll"), "a damaged libsodium"));
            const std::string launch = "\"" + executableDirectory() + "\\vesk_temp_launcher.exe\" \"" +
                                       temporary + "\" \"" + running.program() + "\"";

            const DetachedRun first = runDetachedWithInput(launch, "", SilentInputPipe().childEnd(), 3min);
            EXPECT_EQ(first.exitCode, 0u);
            // The program that finishes the run starts just as the copy ends; its last line says it is done.
            ASSERT_TRUE(pollUntil(
                [&] {
                    return containsMessage(logMessages(running.log()),
                                           "INFO VESK_Updater.exe exiting with code: 0");
                },
                3min));
            ASSERT_TRUE(waitUntilNoProcessInside(running.path(), 3min));
            EXPECT_EQ(digestOf(install.program()), sha256Hex(startable ? released : built));
            for (const auto& [name, bytes] : {std::pair{"libcurl.dll", curl},
                                              {"libsodium.dll", sodium},
                                              {"zlib1.dll", zlib},
                                              {"Updater.exe", simulator}}) {
                EXPECT_EQ(digestOf(install.file(name)), sha256Hex(bytes)) << name;
            }
            const std::string copy = install.file("update\\VESK_Updater.exe");
            std::vector<std::string> expected = {"INFO Copying current VESK_Updater.exe to: " + copy,
                                                 "INFO Deleting: " + copy};
            if (!startable) {
                expected = {"ERROR Cannot start a program at " + copy +
                            ": the path is longer than Windows can start - self-update skipped"};
            }
            expected.insert(expected.end(), {"INFO Install directory: " + install.path(),
                                             "INFO Successfully updated: libcurl.dll",
                                             "INFO Successfully updated: libsodium.dll",
                                             "INFO Using console updater: " + running.file("Updater.exe"),
                                             "INFO Update process completed with result: SUCCESS"});
            EXPECT_TRUE(messagesInOrder(logMessages(running.log()), expected));
            EXPECT_EQ(fileExists(install.file("update")), startable);

            // A deferred update staged in the folder of this row's place.
            const std::string stagedFolder = inInstall ? install.path() : temporary;
            const std::string stagedFile = stagedFolder + "\\libcurl.dll.new";
            const std::string record = stagedFolder + "\\pending.json";
            ASSERT_TRUE(writeFileBytes(stagedFile, staged));
            ASSERT_TRUE(writeFileBytes(
                record, "{\"install_directory\": " + jsonString(install.path()) +
                            ", \"files\": [{\"source_path\": " + jsonString(stagedFile) +
                            ", \"target_name\": \"libcurl.dll\", \"target_path\": " +
                            jsonString(install.file("libcurl.dll")) +
                            ", \"expected_sha256\": " + jsonString(sha256Hex(staged)) + "}]}\n"));
            ScopedMachineValue pending(kUpdaterKey, "PendingSelfUpdateManifest", record);
            const DetachedRun deferred = runDetachedWithInput(launch + " --process-self-update", "",
                                                              SilentInputPipe().childEnd(), 3min);
            EXPECT_EQ(deferred.exitCode, 0u);
            EXPECT_EQ(digestOf(install.file("libcurl.dll")), sha256Hex(staged));
            EXPECT_FALSE(fileExists(stagedFile));
            EXPECT_TRUE(
                messagesInOrder(logMessages(running.log()),
                                {"INFO Manifest path from registry: " + record, "INFO Files successful: 1",
                                 "INFO Self-update processing completed successfully"}));
            const std::string logBytes = readFileBytes(running.log());
            EXPECT_TRUE(vesk::updater::isValidUtf8(logBytes));
            EXPECT_NE(logBytes.find(inInstall ? install.path() : temporary), std::string::npos);
            ASSERT_TRUE(waitUntilNoProcessInside(running.path(), 60s));
        }
    }
}
