#include "core/logger.h"
#include "core/settings.h"
#include "selfupdate/preflight_updater_win.h"
#include "support/http_test_server.h"
#include "support/selfupdate_kit.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>

using namespace vesk::test;
using vesk::updater::PreflightUpdater;
using vesk::updater::UpdateSources;

namespace {

const std::string kRelease = "/updates/1.0.7/";

// Holds a file open the way another program might, with the given sharing.
class HeldFile {
public:
    HeldFile(const std::string& path, DWORD share)
        : handle_(::CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~HeldFile() {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle_);
    }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

class Preflight : public ::testing::Test {
protected:
    TempDir install;
    HttpTestServer server;
    std::vector<std::string> moreServers;
    LogCapture log{vesk::updater::logger().path()};
    int endProcessCalls = 0;

    UpdateSources sources() {
        UpdateSources result;
        result.installDirectory = [this] { return install.path(); };
        result.baseUrls = [this] {
            std::vector<std::string> urls = {server.baseUrl()};
            urls.insert(urls.end(), moreServers.begin(), moreServers.end());
            return urls;
        };
        result.defaultBaseUrl = server.baseUrl();
        return result;
    }

    void run(const std::string& channel = "") {
        PreflightUpdater(sources(), [this] { ++endProcessCalls; }).runPreflight(channel);
    }

    std::string releaseUrl(const std::string& name) const { return server.url(kRelease + name); }

    // Only the plain file: the archive variant is answered with a page that is not a ZIP archive.
    void servePlain(HttpTestServer& on, const std::string& name, const std::string& bytes) {
        on.respond(kRelease + name + ".zip", 404, "no archive here");
        on.respond(kRelease + name, 200, bytes);
    }

    static void serveNothing(HttpTestServer& on, const std::string& path) {
        ScriptedResponse dropped;
        dropped.dropWithoutResponse = true;
        on.respond(path, dropped);
    }

    void put(const std::string& relative, const std::string& bytes) {
        ASSERT_TRUE(writeFileBytes(install.file(relative), bytes)) << relative;
    }

    std::string installed(const std::string& relative) const { return readFileBytes(install.file(relative)); }

    std::vector<std::string> messages() const { return log.messages(); }

    std::string sizeOf(const std::string& bytes) const { return std::to_string(bytes.size()); }
};

const std::string kNewUpdater = "console updater, new build\n" + std::string(300, 'u');
const std::string kNewCurl = "libcurl, new build\n" + std::string(5000, 'c');
const std::string kNewSodium = "libsodium, new build\n" + std::string(700, 's');
const std::string kZlib = "zlib, current\n" + std::string(900, 'z');

} // namespace

TEST_F(Preflight, MissingResizedAndAlteredFilesAreReplacedAndCurrentOnesLeftAlone) {
    put("libcurl.dll", "an older, shorter libcurl");
    std::string alteredSodium = kNewSodium;
    alteredSodium[10] ^= 1; // same size, different digest
    put("libsodium.dll", alteredSodium);
    put("zlib1.dll", kZlib);
    server.respond(
        "/manifest.json", 200,
        manifestDocument({
            manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(kNewUpdater)}},
                              {{"size", sizeOf(kNewUpdater)}}),
            manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(kNewCurl)}}, {{"size", sizeOf(kNewCurl)}}),
            // Upper-case digests are compared without regard to case.
            manifestFileEntry("libsodium.dll", {{"sha256", toUpperCase(sha256Hex(kNewSodium))}},
                              {{"size", sizeOf(kNewSodium)}}),
            manifestFileEntry("zlib1.dll", {{"sha256", toUpperCase(sha256Hex(kZlib))}},
                              {{"size", sizeOf(kZlib)}}),
        }));
    servePlain(server, "Updater.exe", kNewUpdater);
    servePlain(server, "libcurl.dll", kNewCurl);
    servePlain(server, "libsodium.dll", kNewSodium);

    run();

    const std::string curlPath = install.file("libcurl.dll");
    const std::string curlReason = "size mismatch (expected " + sizeOf(kNewCurl) + ", actual 25)";
    EXPECT_TRUE(messagesInOrder(
        messages(),
        {"INFO === Preflight Update Starting ===",
         "INFO Channel: stable",
         "INFO Downloading manifest from: " + server.url("/manifest.json"),
         "INFO Manifest version: 1.0 build: 7",
         "INFO Install directory: " + install.path(),
         "INFO Backup directory: " + install.file("backup"),
         "INFO Processing 4 core updater files",
         "DEBUG Checking file: Updater.exe",
         "DEBUG File details - Size: " + sizeOf(kNewUpdater) +
             ", SHA256: " + sha256Hex(kNewUpdater).substr(0, 16) + "..., URL: " + releaseUrl("Updater.exe"),
         "INFO File missing: Updater.exe",
         "INFO File needs update: Updater.exe (file missing)",
         "INFO Downloading Updater.exe from: " + releaseUrl("Updater.exe"),
         "DEBUG Temp download path: " + install.file("Updater.exe.tmp_preflight"),
         "INFO Download completed for Updater.exe",
         "INFO File verification passed for Updater.exe",
         "INFO Replacing Updater.exe...",
         "INFO Successfully updated: Updater.exe",
         "DEBUG Checking file: libcurl.dll",
         "INFO File size mismatch for libcurl.dll: " + curlReason,
         "INFO Deleting corrupted file to force clean re-download: " + curlPath,
         "INFO Successfully deleted corrupted file: libcurl.dll",
         "INFO File needs update: libcurl.dll (" + curlReason + ")",
         "INFO Successfully updated: libcurl.dll",
         "DEBUG Checking file: libsodium.dll",
         "INFO File hash mismatch for libsodium.dll: expected " +
             toUpperCase(sha256Hex(kNewSodium)).substr(0, 16) + "..., actual " +
             sha256Hex(alteredSodium).substr(0, 16) + "...",
         "INFO Deleting corrupted file to force clean re-download: " + install.file("libsodium.dll"),
         "INFO Successfully deleted hash-mismatched file: libsodium.dll",
         "INFO File needs update: libsodium.dll (hash mismatch)",
         "INFO Successfully updated: libsodium.dll",
         "DEBUG Checking file: zlib1.dll",
         "DEBUG File is current: zlib1.dll",
         "INFO === Preflight Update Summary ===",
         "INFO Files checked: 4",
         "INFO Files needing update: 3",
         "INFO Files successfully updated: 3",
         "INFO Preflight update completed"}));

    EXPECT_EQ(installed("Updater.exe"), kNewUpdater);
    EXPECT_EQ(installed("libcurl.dll"), kNewCurl);
    EXPECT_EQ(installed("libsodium.dll"), kNewSodium);
    EXPECT_EQ(installed("zlib1.dll"), kZlib);
    // Rejected files were deleted before the download, so there was nothing left to back up.
    EXPECT_TRUE(fileExists(install.file("backup")));
    EXPECT_EQ(countStartingWith(messages(), "DEBUG Creating backup"), 0u);
    for (const char* name : {"Updater.exe", "libcurl.dll", "libsodium.dll", "zlib1.dll"}) {
        EXPECT_FALSE(fileExists(install.file(std::string(name) + ".tmp_preflight"))) << name;
        EXPECT_FALSE(fileExists(install.file(std::string("backup\\") + name + ".backup"))) << name;
    }
    const std::vector<std::string> expectedPaths = {"/manifest.json",          kRelease + "Updater.exe.zip",
                                                    kRelease + "Updater.exe",  kRelease + "libcurl.dll.zip",
                                                    kRelease + "libcurl.dll",  kRelease + "libsodium.dll.zip",
                                                    kRelease + "libsodium.dll"};
    EXPECT_EQ(server.requestedPaths(), expectedPaths);
    EXPECT_TRUE(server.unexpectedRequests().empty());
    EXPECT_EQ(endProcessCalls, 0);
}

TEST_F(Preflight, EntriesWithoutChecksAreTrustedAndMissingEntriesLeftAlone) {
    put("libcurl.dll", "whatever is installed");
    put("libsodium.dll", "not described by the manifest");
    // No size and no digest: the missing file is fetched and accepted, the present one counts as current.
    server.respond("/manifest-beta.json", 200,
                   manifestDocument({manifestFileEntry("Updater.exe", {{"url", "/elsewhere/Updater.exe"}}),
                                     manifestFileEntry("libcurl.dll", {})}));
    server.respond("/elsewhere/Updater.exe.zip", 404, "none");
    server.respond("/elsewhere/Updater.exe", 200, kNewUpdater);

    run("beta");

    const auto logged = messages();
    EXPECT_TRUE(messagesInOrder(
        logged,
        {"INFO Channel: beta", "INFO Downloading manifest from: " + server.url("/manifest-beta.json"),
         "INFO File missing: Updater.exe", "INFO Downloading Updater.exe from: /elsewhere/Updater.exe",
         "INFO File verification passed for Updater.exe", "INFO Replacing Updater.exe...",
         "INFO Successfully updated: Updater.exe", "DEBUG File is current: libcurl.dll",
         "WARNING File not found in manifest files array: libsodium.dll",
         "WARNING File not found in manifest files array: zlib1.dll", "INFO Files checked: 4",
         "INFO Files needing update: 1", "INFO Files successfully updated: 1"}));
    EXPECT_EQ(countStartingWith(logged, "DEBUG Creating backup"), 0u);
    EXPECT_EQ(installed("Updater.exe"), kNewUpdater);
    EXPECT_EQ(installed("libcurl.dll"), "whatever is installed");
    EXPECT_EQ(installed("libsodium.dll"), "not described by the manifest");
    EXPECT_FALSE(fileExists(install.file("zlib1.dll")));
    EXPECT_TRUE(server.unexpectedRequests().empty());
}

TEST_F(Preflight, TargetPathInSubfolderIsReplacedThereWhileTemporaryFileKeepsThePlainName) {
    ASSERT_TRUE(::CreateDirectoryA(install.file("bin").c_str(), nullptr));
    put("bin\\libcurl.dll", "old libcurl in a subfolder");
    server.respond(
        "/manifest.json", 200,
        manifestDocument({manifestFileEntry(
            "libcurl.dll", {{"sha256", sha256Hex(kNewCurl)}, {"target_path", "bin\\libcurl.dll"}})}));
    servePlain(server, "libcurl.dll", kNewCurl);

    run();

    EXPECT_TRUE(messagesInOrder(
        messages(),
        {"INFO Deleting corrupted file to force clean re-download: " + install.file("bin\\libcurl.dll"),
         "INFO File needs update: libcurl.dll (hash mismatch)",
         "DEBUG Temp download path: " + install.file("libcurl.dll.tmp_preflight"),
         "INFO Successfully updated: libcurl.dll"}));
    EXPECT_EQ(installed("bin\\libcurl.dll"), kNewCurl);
    EXPECT_FALSE(fileExists(install.file("libcurl.dll")));
    EXPECT_FALSE(fileExists(install.file("libcurl.dll.tmp_preflight")));
}

TEST_F(Preflight, TargetPathLeavingTheInstallFolderIsRefused) {
    server.respond(
        "/manifest.json", 200,
        manifestDocument({manifestFileEntry("libcurl.dll", {{"target_path", "..\\escaped.dll"}})}));
    servePlain(server, "libcurl.dll", kNewCurl);

    run();

    EXPECT_TRUE(
        messagesInOrder(messages(), {"ERROR Unsafe target path for libcurl.dll: ..\\escaped.dll - skipping",
                                     "INFO Files checked: 4", "INFO Files needing update: 0"}));
    EXPECT_EQ(server.requestedPaths(), std::vector<std::string>{"/manifest.json"});
    EXPECT_FALSE(fileExists(install.path() + "\\..\\escaped.dll"));
}

TEST_F(Preflight, FilesHeldOpenByAnotherProgramAreKeptUntilAVerifiedReplacementCanTakeTheirPlace) {
    std::string oldCurl = kNewCurl;
    oldCurl[0] = 'L';
    std::string oldSodium = kNewSodium;
    oldSodium[0] = 'L';
    put("libcurl.dll", oldCurl);
    put("libsodium.dll", oldSodium);
    server.respond(
        "/manifest.json", 200,
        manifestDocument({
            manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(kNewCurl)}}, {{"size", sizeOf(kNewCurl)}}),
            manifestFileEntry("libsodium.dll", {{"sha256", sha256Hex(kNewSodium)}},
                              {{"size", sizeOf(kNewSodium)}}),
        }));
    servePlain(server, "libcurl.dll", kNewCurl);
    servePlain(server, "libsodium.dll", kNewSodium);
    auto curlLocked = std::make_unique<HeldFile>(install.file("libcurl.dll"), 0); // nobody may even read it
    HeldFile sodiumShared(install.file("libsodium.dll"), FILE_SHARE_READ);        // readable, not deletable
    ASSERT_TRUE(curlLocked->held() && sodiumShared.held());

    run();

    const auto logged = messages();
    EXPECT_TRUE(messagesInOrder(
        logged,
        {"WARNING Hash calculation failed for libcurl.dll",
         "INFO Keeping unverifiable file until a verified replacement arrives: " +
             install.file("libcurl.dll"),
         "INFO File needs update: libcurl.dll (hash calculation failed)",
         "INFO File verification passed for libcurl.dll",
         "DEBUG Creating backup: " + install.file("backup\\libcurl.dll.backup"),
         "WARNING Failed to create backup for libcurl.dll", "INFO Replacing libcurl.dll...",
         "INFO File hash mismatch for libsodium.dll: expected " + sha256Hex(kNewSodium).substr(0, 16) +
             "..., actual " + sha256Hex(oldSodium).substr(0, 16) + "...",
         "INFO File needs update: libsodium.dll (hash mismatch)",
         "DEBUG Creating backup: " + install.file("backup\\libsodium.dll.backup"),
         "DEBUG Backup created successfully", "INFO Replacing libsodium.dll...", "INFO Files checked: 4",
         "INFO Files needing update: 2", "INFO Files successfully updated: 0"}));
    EXPECT_EQ(countStartingWith(logged, "ERROR Exception while deleting unverifiable file"), 0u);
    EXPECT_EQ(
        countStartingWith(logged, "ERROR Exception while deleting hash-mismatched file libsodium.dll: "), 1u);
    EXPECT_EQ(countStartingWith(logged, "ERROR Failed to replace libcurl.dll: Error "), 1u);
    EXPECT_EQ(countStartingWith(logged, "ERROR Failed to replace libsodium.dll: Error "), 1u);
    EXPECT_EQ(countStartingWith(logged, "INFO Successfully updated"), 0u);
    EXPECT_EQ(readFileBytes(install.file("backup\\libsodium.dll.backup")), oldSodium);
    EXPECT_FALSE(fileExists(install.file("backup\\libcurl.dll.backup")));
    EXPECT_FALSE(fileExists(install.file("libcurl.dll.tmp_preflight")));
    EXPECT_FALSE(fileExists(install.file("libsodium.dll.tmp_preflight")));
    EXPECT_EQ(installed("libsodium.dll"), oldSodium);

    // Still unreadable, and this time no good copy arrives: the file stays exactly as it was.
    serveNothing(server, kRelease + "libcurl.dll.zip");
    serveNothing(server, kRelease + "libcurl.dll");
    LogCapture second(vesk::updater::logger().path());
    run();
    EXPECT_TRUE(
        messagesInOrder(second.messages(),
                        {"INFO File needs update: libcurl.dll (hash calculation failed)",
                         "ERROR Failed to download libcurl.dll. Attempts:\n  - " +
                             releaseUrl("libcurl.dll.zip") + "\n  - " + releaseUrl("libcurl.dll") + "\n"}));
    // Nor when the server answers 404: its page is no copy of the file.
    server.respond(kRelease + "libcurl.dll.zip", 404, "not found");
    server.respond(kRelease + "libcurl.dll", 404, "not found");
    LogCapture third(vesk::updater::logger().path());
    run();
    EXPECT_TRUE(
        containsMessage(third.messages(), "INFO File needs update: libcurl.dll (hash calculation failed)"));
    EXPECT_TRUE(containsMessage(
        third.messages(),
        "ERROR Downloaded file verification failed for libcurl.dll: size mismatch (expected " +
            sizeOf(kNewCurl) + ", downloaded 9)"));
    EXPECT_FALSE(fileExists(install.file("libcurl.dll.tmp_preflight")));
    curlLocked.reset();
    EXPECT_EQ(installed("libcurl.dll"), oldCurl);
}

TEST_F(Preflight, DownloadsComeFromTheArchiveThePlainFileOrTheNextServer) {
    const std::string fixtures = executableDirectory() + "\\selfupdate_fixtures";
    const std::string zipped = readFileBytes(fixtures + "\\libcurl.dll.zip");
    const std::string curlInZip = readFileBytes(fixtures + "\\zip_payload\\libcurl.dll");
    ASSERT_FALSE(zipped.empty());
    ASSERT_FALSE(curlInZip.empty());
    HttpTestServer second;
    moreServers = {second.baseUrl()};
    server.respond(
        "/manifest.json", 200,
        manifestDocument({
            manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(kNewUpdater)}}),
            manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(curlInZip)}}),
            manifestFileEntry("libsodium.dll", {{"sha256", sha256Hex(kNewSodium)}}),
            manifestFileEntry("zlib1.dll", {{"sha256", sha256Hex(kZlib)}}, {{"size", sizeOf(kZlib)}}),
        }));
    // zlib1.dll: the default server sends a body that never ends; the download stops at the known size
    // and the second server's good copy is installed.
    ScriptedResponse endless;
    endless.endless = true;
    server.respond(kRelease + "zlib1.dll.zip", 404, "no archive here");
    server.respond(kRelease + "zlib1.dll", endless);
    servePlain(second, "zlib1.dll", kZlib);
    // Updater.exe: the default server is down for it; only the second server has it, and only plain.
    serveNothing(server, kRelease + "Updater.exe.zip");
    serveNothing(server, kRelease + "Updater.exe");
    servePlain(second, "Updater.exe", kNewUpdater);
    // libcurl.dll: only the archive exists.
    server.respond(kRelease + "libcurl.dll.zip", 200, zipped);
    serveNothing(server, kRelease + "libcurl.dll");
    // libsodium.dll: the archive request fails, the plain file is there.
    serveNothing(server, kRelease + "libsodium.dll.zip");
    server.respond(kRelease + "libsodium.dll", 200, kNewSodium);

    run();

    EXPECT_EQ(installed("Updater.exe"), kNewUpdater);
    EXPECT_EQ(installed("libcurl.dll"), curlInZip);
    EXPECT_EQ(installed("libsodium.dll"), kNewSodium);
    EXPECT_EQ(installed("zlib1.dll"), kZlib);
    EXPECT_FALSE(fileExists(install.file("zlib1.dll.tmp_preflight")));
    EXPECT_TRUE(containsMessage(messages(), "ERROR Download exceeded the expected size of " + sizeOf(kZlib) +
                                                " bytes: " + releaseUrl("zlib1.dll")));
    EXPECT_TRUE(containsMessage(messages(), "INFO Files successfully updated: 4"));
    // A connection dropped without an answer is asked twice more before the next candidate.
    const std::vector<std::string> onDefault = {"/manifest.json",
                                                kRelease + "Updater.exe.zip",
                                                kRelease + "Updater.exe.zip",
                                                kRelease + "Updater.exe.zip",
                                                kRelease + "Updater.exe",
                                                kRelease + "Updater.exe",
                                                kRelease + "Updater.exe",
                                                kRelease + "libcurl.dll.zip",
                                                kRelease + "libsodium.dll.zip",
                                                kRelease + "libsodium.dll.zip",
                                                kRelease + "libsodium.dll.zip",
                                                kRelease + "libsodium.dll",
                                                kRelease + "zlib1.dll.zip",
                                                kRelease + "zlib1.dll"};
    EXPECT_EQ(server.requestedPaths(), onDefault);
    const std::vector<std::string> onSecond = {kRelease + "Updater.exe.zip", kRelease + "Updater.exe",
                                               kRelease + "zlib1.dll.zip", kRelease + "zlib1.dll"};
    EXPECT_EQ(second.requestedPaths(), onSecond);
}

TEST_F(Preflight, DownloadsThatFailTheirChecksAreDiscarded) {
    put("libsodium.dll", "installed libsodium");
    const std::string wrongUpdater = "an updater of another size";
    std::string wrongCurl = kNewCurl;
    wrongCurl[100] = '#';
    server.respond(
        "/manifest.json", 200,
        manifestDocument({
            manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(kNewUpdater)}},
                              {{"size", sizeOf(kNewUpdater)}}),
            manifestFileEntry("libcurl.dll", {{"sha256", sha256Hex(kNewCurl)}}, {{"size", sizeOf(kNewCurl)}}),
            // A size that is not a number: the installed file is kept, and no download can ever pass.
            manifestFileEntry("libsodium.dll", {{"size", "abc"}}),
        }));
    servePlain(server, "Updater.exe", wrongUpdater);
    servePlain(server, "libcurl.dll", wrongCurl);
    servePlain(server, "libsodium.dll", kNewSodium);

    run();

    EXPECT_TRUE(messagesInOrder(
        messages(),
        {"ERROR Downloaded file verification failed for Updater.exe: size mismatch (expected " +
             sizeOf(kNewUpdater) + ", downloaded " + sizeOf(wrongUpdater) + ")",
         "ERROR Downloaded file verification failed for libcurl.dll: hash mismatch (expected " +
             sha256Hex(kNewCurl).substr(0, 16) + "..., actual " + sha256Hex(wrongCurl).substr(0, 16) + "...)",
         "WARNING Size check failed for libsodium.dll",
         "INFO File needs update: libsodium.dll (size check failed)",
         "ERROR Downloaded file verification failed for libsodium.dll: size verification exception",
         "INFO Files checked: 4", "INFO Files needing update: 3", "INFO Files successfully updated: 0"}));
    EXPECT_FALSE(fileExists(install.file("Updater.exe")));
    EXPECT_FALSE(fileExists(install.file("libcurl.dll")));
    EXPECT_EQ(installed("libsodium.dll"), "installed libsodium");
    for (const char* name : {"Updater.exe", "libcurl.dll", "libsodium.dll"}) {
        EXPECT_FALSE(fileExists(install.file(std::string(name) + ".tmp_preflight"))) << name;
    }
}

TEST_F(Preflight, FailedDownloadListsEveryAttemptAndMissingLocationIsReported) {
    HttpTestServer second;
    moreServers = {second.baseUrl()};
    // No version: a file without its own "url" has no download location at all.
    server.respond("/manifest.json", 200,
                   "{\"manifest\": {\"files\": [" +
                       manifestFileEntry("Updater.exe", {{"url", "/u/Updater.exe"}}) + ", " +
                       manifestFileEntry("libcurl.dll", {}) + "]}}");
    for (HttpTestServer* each : {&server, &second}) {
        serveNothing(*each, "/u/Updater.exe.zip");
        serveNothing(*each, "/u/Updater.exe");
    }

    run();

    EXPECT_TRUE(messagesInOrder(
        messages(),
        {"INFO Manifest version:  build: ",
         "ERROR Failed to download Updater.exe. Attempts:\n  - " + server.url("/u/Updater.exe.zip") +
             "\n  - " + server.url("/u/Updater.exe") + "\n  - " + second.url("/u/Updater.exe.zip") +
             "\n  - " + second.url("/u/Updater.exe") + "\n",
         "INFO File needs update: libcurl.dll (file missing)",
         "ERROR Cannot determine download URL for libcurl.dll - skipping", "INFO Files needing update: 2",
         "INFO Files successfully updated: 0"}));
}

TEST_F(Preflight, ManifestWithoutManifestKeyIsReadFromTheRoot) {
    server.respond("/manifest.json", 200,
                   manifestDocument({manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(kNewUpdater)}})},
                                    "2.5", "31", /*nested=*/false));
    server.respond("/updates/2.5.31/Updater.exe.zip", 404, "none");
    server.respond("/updates/2.5.31/Updater.exe", 200, kNewUpdater);

    run();

    EXPECT_TRUE(messagesInOrder(
        messages(), {"ERROR No 'manifest' object found in downloaded JSON - using root level",
                     "INFO Manifest version: 2.5 build: 31", "INFO Successfully updated: Updater.exe",
                     "INFO Files successfully updated: 1"}));
    EXPECT_EQ(installed("Updater.exe"), kNewUpdater);
}

// A 1 MB manifest whose "manifest" object first holds an object with 50,000 "files" keys: the run reaches
// the real list and ends with the same summary as the plain manifest, in about the time of one download.
TEST_F(Preflight, ManifestWithManyDecoyFilesKeysGivesTheOrdinarySummary) {
    const std::string plain =
        manifestDocument({manifestFileEntry("Updater.exe", {{"sha256", sha256Hex(kNewUpdater)}}),
                          manifestFileEntry("zlib1.dll", {{"size", sizeOf(kZlib)}})});
    const std::string opening = "{\"manifest\": {";
    ASSERT_EQ(plain.rfind(opening, 0), 0u);
    std::string decoys = "\"x\": {";
    for (int i = 0; i < 50000; ++i) {
        decoys += (i ? ", " : "") + std::string("\"files\": 0");
    }
    decoys += "}, \"pad\": \"" + std::string((1 << 20) - decoys.size() - plain.size(), ' ') + "\", ";
    const std::string hostile = opening + decoys + plain.substr(opening.size());
    servePlain(server, "Updater.exe", kNewUpdater);
    put("zlib1.dll", kZlib);

    std::vector<std::vector<std::string>> summaries;
    for (const std::string* text : {&plain, &hostile}) {
        SCOPED_TRACE(text->size());
        ASSERT_TRUE(::DeleteFileA(install.file("Updater.exe").c_str()) ||
                    !fileExists(install.file("Updater.exe")));
        server.respond("/manifest.json", 200, *text);
        LogCapture each(vesk::updater::logger().path());
        const auto start = std::chrono::steady_clock::now();
        run();
        std::printf("[ preflight ] %zu-byte manifest: %.2f s\n", text->size(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::vector<std::string> summary;
        for (const auto& line : each.messages()) {
            for (const char* prefix : {"INFO Manifest version", "INFO File needs update", "INFO Successfully",
                                       "INFO Files ", "WARNING File not found", "INFO Preflight update"}) {
                if (line.rfind(prefix, 0) == 0)
                    summary.push_back(line);
            }
        }
        summaries.push_back(summary);
        EXPECT_EQ(installed("Updater.exe"), kNewUpdater);
    }
    EXPECT_EQ(summaries[1], summaries[0]);
    EXPECT_TRUE(messagesInOrder(summaries[0], {"INFO File needs update: Updater.exe (file missing)",
                                               "INFO Files checked: 4", "INFO Files needing update: 1",
                                               "INFO Files successfully updated: 1"}));
}

TEST_F(Preflight, TextThatIsNotJsonFindsNoFilesButStillEndsWithTheSummary) {
    put("Updater.exe", "kept");
    server.respond("/manifest.json", 200, "<html><body>Service temporarily unavailable</body></html>");

    run();

    const auto logged = messages();
    EXPECT_TRUE(
        messagesInOrder(logged, {"INFO Manifest downloaded successfully  (57 bytes)",
                                 "ERROR No 'manifest' object found in downloaded JSON - using root level",
                                 "WARNING File not found in manifest files array: Updater.exe",
                                 "WARNING File not found in manifest files array: zlib1.dll",
                                 "INFO Files checked: 4", "INFO Files needing update: 0",
                                 "INFO Files successfully updated: 0", "INFO Preflight update completed"}));
    EXPECT_EQ(installed("Updater.exe"), "kept");
}

TEST_F(Preflight, UnavailableManifestStopsBeforeTouchingAnything) {
    put("Updater.exe", "kept");
    server.respond("/manifest.json", 200, "");

    run();

    const auto logged = messages();
    EXPECT_TRUE(messagesInOrder(logged, {"INFO === Preflight Update Starting ===",
                                         "WARNING Failed to download manifest - skipping preflight update"}));
    EXPECT_EQ(countStartingWith(logged, "INFO Files checked"), 0u);
    EXPECT_EQ(countStartingWith(logged, "INFO Install directory"), 0u);
    EXPECT_FALSE(fileExists(install.file("backup")));
    EXPECT_EQ(installed("Updater.exe"), "kept");
}

// The program's own executable.

TEST_F(Preflight, OwnExecutableMatchingOrUnreadableNeedsNoHandOver) {
    const std::string program = "the installed program";
    put("VESK_Updater.exe", program);
    server.respond("/manifest.json", 200,
                   manifestDocument({manifestFileEntry("VESK_Updater.exe",
                                                       {{"sha256", toUpperCase(sha256Hex(program))}})}));
    run();
    EXPECT_TRUE(messagesInOrder(messages(),
                                {"INFO Found VESK_Updater.exe in manifest - checking if update needed",
                                 "INFO VESK_Updater.exe hash matches - no self-update needed",
                                 "INFO Processing 4 core updater files", "INFO Preflight update completed"}));

    // A copy that cannot be read counts as matching rather than being replaced blindly.
    server.respond(
        "/manifest.json", 200,
        manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"sha256", std::string(64, 'a')}})}));
    LogCapture second(vesk::updater::logger().path());
    {
        HeldFile locked(install.file("VESK_Updater.exe"), 0);
        ASSERT_TRUE(locked.held());
        run();
    }
    EXPECT_TRUE(
        messagesInOrder(second.messages(), {"INFO VESK_Updater.exe hash matches - no self-update needed",
                                            "INFO Preflight update completed"}));
    EXPECT_FALSE(fileExists(install.file("update")));
    EXPECT_EQ(endProcessCalls, 0);
}

TEST_F(Preflight, OwnExecutableHandOverThatCannotStartFallsBackToTheCoreFiles) {
    put("VESK_Updater.exe", "this text is not a Windows program");
    server.respond(
        "/manifest.json", 200,
        manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"sha256", std::string(64, 'b')}})}));
    run();
    const auto logged = messages();
    const std::string copy = install.file("update\\VESK_Updater.exe");
    EXPECT_TRUE(messagesInOrder(
        logged,
        {"INFO VESK_Updater.exe hash mismatch - initiating self-update process",
         "INFO Copying current VESK_Updater.exe to: " + copy, "INFO Copy successful - spawning new process",
         "INFO Spawning: \"" + copy + "\" --restart-start -pid " + std::to_string(::GetCurrentProcessId()),
         "INFO Processing 4 core updater files", "INFO Preflight update completed"}));
    EXPECT_EQ(countStartingWith(logged, "ERROR Failed to spawn new process. Error: "), 1u);
    EXPECT_EQ(endProcessCalls, 0);

    // A copy that cannot be made: "update" is a file here.
    ASSERT_TRUE(removeTree(install.file("update")));
    put("update", "a file where the folder belongs");
    LogCapture second(vesk::updater::logger().path());
    run();
    EXPECT_TRUE(messagesInOrder(second.messages(), {"INFO Copying current VESK_Updater.exe to: " + copy,
                                                    "INFO Processing 4 core updater files"}));
    EXPECT_EQ(countStartingWith(second.messages(), "ERROR Failed to copy VESK_Updater.exe. Error: "), 1u);
    EXPECT_EQ(endProcessCalls, 0);
}

TEST_F(Preflight, OwnExecutableThatDiffersIsHandedToACopyWithTheChannelAndThisProcessId) {
    const std::string probe = readFileBytes(executableDirectory() + "\\selfupdate_probe.exe");
    ASSERT_FALSE(probe.empty());
    put("VESK_Updater.exe", probe);
    server.respond(
        "/manifest-beta.json", 200,
        manifestDocument({manifestFileEntry("VESK_Updater.exe", {{"sha256", std::string(64, 'c')}}),
                          manifestFileEntry("Updater.exe", {})}));

    run("beta");

    const std::string copy = install.file("update\\VESK_Updater.exe");
    const std::string expectedCommandLine =
        "\"" + copy + "\" --restart-start -c beta -pid " + std::to_string(::GetCurrentProcessId());
    const auto logged = messages();
    EXPECT_TRUE(messagesInOrder(logged, {"INFO Spawning: " + expectedCommandLine,
                                         "INFO New process spawned successfully - exiting current process"}));
    EXPECT_EQ(endProcessCalls, 1);
    // The process would have ended here: no core file is looked at and no summary is written.
    EXPECT_EQ(countStartingWith(logged, "DEBUG Checking file"), 0u);
    EXPECT_EQ(countStartingWith(logged, "INFO Files checked"), 0u);
    EXPECT_EQ(readFileBytes(copy), probe);

    const std::string recorded = install.file("update\\probe_command_line.txt");
    ASSERT_TRUE(pollUntil([&] { return fileExists(recorded); }, std::chrono::seconds(30)));
    EXPECT_EQ(readFileBytes(recorded), expectedCommandLine);
    // The copy ends right after writing; wait until its file can go, so nothing outlives the test.
    EXPECT_TRUE(pollUntil([&] { return ::DeleteFileA(copy.c_str()) != 0; }, std::chrono::seconds(30)));
}

TEST_F(Preflight, ExistenceTestThatFailsIsReportedAndTheRunGoesOn) {
    // A target name no Windows file can have: the file calls fail with an error other than "not found", so
    // the file's state is unknown. The run reports it and carries on.
    const std::string invalidTarget = "lib<curl>.dll";
    server.respond("/manifest.json", 200,
                   manifestDocument({manifestFileEntry("libcurl.dll", {{"target_path", invalidTarget}},
                                                       {{"size", "5"}})}));
    servePlain(server, "libcurl.dll", "12345");

    run();

    const auto logged = messages();
    EXPECT_EQ(countStartingWith(logged, "WARNING Could not determine whether " + install.file(invalidTarget) +
                                            " exists (Error "),
              2u); // the check and the backup step
    EXPECT_TRUE(
        messagesInOrder(logged, {"WARNING Size check failed for libcurl.dll",
                                 "INFO File needs update: libcurl.dll (size check failed)",
                                 "INFO File verification passed for libcurl.dll",
                                 "WARNING Failed to create backup for libcurl.dll",
                                 "INFO Replacing libcurl.dll...", "INFO Files checked: 4",
                                 "INFO Files needing update: 1", "INFO Files successfully updated: 0"}));
    EXPECT_EQ(countStartingWith(logged, "ERROR Failed to replace libcurl.dll: Error "), 1u);
    EXPECT_FALSE(fileExists(install.file("libcurl.dll.tmp_preflight")));
}

// The preflight takes the running program's digest from the cache only for that very file.
TEST(OwnExecutableDigest, CachedDigestServesTheRunningFileUnderAnySpellingAndNoCopyOfIt) {
    char buffer[MAX_PATH] = {};
    const std::string own(buffer, ::GetModuleFileNameA(nullptr, buffer, MAX_PATH));
    std::string otherSpelling = own;
    std::transform(otherSpelling.begin(), otherSpelling.end(), otherSpelling.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const std::string digest = sha256Hex(readFileBytes(own));
    EXPECT_EQ(vesk::updater::ownExecutableHashIfSameFile(own), digest);
    EXPECT_EQ(vesk::updater::ownExecutableHashIfSameFile(otherSpelling), digest);

    TempDir folder;
    ASSERT_TRUE(::CopyFileA(own.c_str(), folder.file("copy.exe").c_str(), FALSE));
    EXPECT_FALSE(vesk::updater::ownExecutableHashIfSameFile(folder.file("copy.exe")));
    EXPECT_FALSE(vesk::updater::ownExecutableHashIfSameFile(folder.file("absent.exe")));
}
