#include "selfupdate/self_replacement_win.h"

#include "core/handles_win.h"
#include "core/instance_lock_win.h"
#include "core/logger.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "integrity/file_hash.h"
#include "integrity/manifest_signature.h"
#include "manifest/manifest_text.h"
#include "selfupdate/download_checks_win.h"
#include "selfupdate/file_checks_win.h"
#include "selfupdate/release_manifest.h"
#include "selfupdate/release_trust.h"
#include "selfupdate/restart_command_line.h"
#include "selfupdate/self_update_text.h"
#include "selfupdate/unexpected_error.h"
#include "selfupdate/verified_launch_win.h"
#include "transfer/fallback_download.h"
#include "transfer/http_download.h"

#include <windows.h>

#include <chrono>
#include <optional>
#include <vector>

namespace vesk::updater {

namespace {

// False when the predecessor is still running after the limit: its executable cannot be replaced then, and
// a copy that waited for ever would hold the installation's lock for ever.
bool waitForPredecessor(std::uint32_t processId, std::chrono::milliseconds limit) {
    const std::string id = std::to_string(processId);
    logger().info("Waiting for process " + id + " to quit");
    KernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) {
        logger().warning("Could not open process " + id + " - it may have already exited");
        return true;
    }
    // The predecessor ends right after starting this copy; until it has, its executable cannot be replaced.
    if (::WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) == WAIT_TIMEOUT) {
        logger().error("Process " + id + " did not quit within " +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
                       " seconds - VESK_Updater.exe is left as it is");
        return false;
    }
    process.reset();
    logger().info("Process " + id + " has exited");
    return true;
}

// Size and digest checks of the downloaded executable; logs why it is rejected.
bool verifyDownloadedExecutable(const std::string& path, const FileEntryValues& entry, bool requireDigest) {
    if (!entry.size.empty()) {
        const std::optional<std::uint64_t> expectedSize = parseSizeText(entry.size);
        if (!expectedSize) {
            // Without a readable expected size the file cannot be vouched for.
            logger().error("Size check failed - unreadable expected size: " + entry.size);
            return false;
        }
        std::uint32_t sizeError = 0;
        const std::optional<std::uint64_t> actualSize = readFileSize(path, sizeError);
        if (!actualSize) {
            logger().error("Size check failed - cannot read the size of " + path + " (Error " +
                           std::to_string(sizeError) + ")");
            return false;
        }
        if (*expectedSize != *actualSize) {
            logger().error("Size mismatch - expected " + entry.size + ", got " + std::to_string(*actualSize));
            return false;
        }
    }
    if (entry.sha256.empty() && requireDigest) {
        // The signature vouches for the entry; without a digest nothing ties the download to it.
        logger().error("Hash check failed - the signed manifest gives no sha256 to verify against");
        return false;
    }
    if (!entry.sha256.empty()) {
        const std::string actualDigest = computeFileSha256(path);
        if (actualDigest.empty() || !digestsEqual(entry.sha256, actualDigest)) {
            logger().error("Hash mismatch - expected " + digestPreview(entry.sha256) + "..., got " +
                           digestPreview(actualDigest) + "...");
            return false;
        }
    }
    return true;
}

void removeEmptyFolder(const std::string& path, const char* announce, const char* failure) {
    if (!existsForUpdate(path)) {
        return;
    }
    logger().info(announce + path);
    if (::RemoveDirectoryW(pathForWindows(path).c_str())) {
        logger().info("Update directory deleted successfully");
    } else {
        logger().warning(failure);
    }
}

} // namespace

int runRestartStart(const std::string& channel, std::uint32_t processId) {
    return runRestartStart(channel, processId, UpdateSources::fromSettings());
}

namespace {

int restartStartSteps(const std::string& channel, std::uint32_t processId, const UpdateSources& sources,
                      std::chrono::milliseconds waitLimit) {
    logger().info("=== Self-Update Flow: restart-start mode ===");
    if (!waitForPredecessor(processId, waitLimit)) {
        return 1;
    }

    const SelfReplacementPaths paths = selfReplacementPaths(sources.installDirectory());
    const std::string manifestUrl = sources.manifestUrl(channel);
    logger().info("Downloading manifest from: " + manifestUrl);
    const std::string manifestText = HttpDownloader::downloadToString(manifestUrl);
    if (manifestText.empty()) {
        logger().error("Failed to download manifest for self-update");
        return 1;
    }
    logger().info("Manifest downloaded (" + std::to_string(manifestText.size()) + " bytes)");
    logManifestSignatureStatus(manifestText, SignatureReportStyle::Brief);

    ReleaseManifest release = readReleaseManifest(manifestText);
    if (sources.trust.enforced()) {
        const TrustVerdict verdict = checkReleaseTrust(manifestText, channel, sources.trust);
        if (!verdict.trusted()) {
            logger().error("Refusing to replace the program: the manifest is not trusted");
            return 1;
        }
        release = readSignedReleaseManifest(verdict.signedText);
    }
    const std::string entryText = ManifestText::findFileObject(release.objectText, kOwnExecutableName);
    if (entryText.empty()) {
        logger().error("VESK_Updater.exe not found in manifest");
        return 1;
    }
    const FileEntryValues entry = readFileEntryValues(entryText);
    std::string url = entry.url;
    if (url.empty()) {
        url = defaultOwnExecutableUrl(sources.defaultBaseUrl, release.version, release.build);
    }
    if (url.empty()) {
        logger().error("Could not determine download URL for VESK_Updater.exe");
        return 1;
    }
    logger().info("Downloading VESK_Updater.exe from: " + url);

    std::string downloadedPath;
    std::vector<std::string> attempts;
    if (!downloadWithFallback(sources.baseUrls(), url, kOwnExecutableName, downloadedPath, attempts,
                              candidateChecks(kOwnExecutableName, entry, sources.trust.enforced()))) {
        logger().error("Failed to download VESK_Updater.exe. Attempts:\n" + formatAttemptList(attempts));
        return 1;
    }
    constexpr DWORD kMoveAcrossVolumes =
        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    if (!::MoveFileExW(pathForWindows(downloadedPath).c_str(),
                       pathForWindows(paths.temporaryDownload).c_str(), kMoveAcrossVolumes)) {
        ::DeleteFileW(
            pathForWindows(downloadedPath).c_str()); // the checks below then reject the missing file
    }
    logger().info("Download completed - verifying file");

    if (!verifyDownloadedExecutable(paths.temporaryDownload, entry, sources.trust.enforced())) {
        ::DeleteFileW(pathForWindows(paths.temporaryDownload).c_str());
        logger().error("File verification failed");
        return 1;
    }

    logger().info("Verification passed - replacing VESK_Updater.exe");
    // Same folder, so a plain rename: the installed executable is never left half-written. A start of the
    // program that found this replacement under way keeps the file in use for the few seconds it takes to
    // step aside (as may a virus scanner), so a refused rename is tried again for a bounded time.
    const auto renameDeadline = std::chrono::steady_clock::now() + kInstalledInUseLimit;
    BOOL renamed = FALSE;
    DWORD renameError = 0;
    for (;;) {
        renamed = ::MoveFileExW(pathForWindows(paths.temporaryDownload).c_str(),
                                pathForWindows(paths.installed).c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        renameError = renamed ? 0 : ::GetLastError();
        const bool inUse = renameError == ERROR_ACCESS_DENIED || renameError == ERROR_SHARING_VIOLATION;
        if (renamed || !inUse || std::chrono::steady_clock::now() >= renameDeadline) {
            break;
        }
        ::Sleep(250);
    }
    if (!renamed) {
        logger().error("Failed to replace VESK_Updater.exe. Error: " + std::to_string(renameError));
        ::DeleteFileW(pathForWindows(paths.temporaryDownload).c_str());
        return 1;
    }

    logger().info("VESK_Updater.exe updated successfully - launching with --restart-done");
    // A program that trusts only signed releases starts only the bytes the signed manifest names, checked
    // on a handle that keeps them from changing until the program has started.
    std::optional<PinnedFile> pinned;
    if (sources.trust.enforced()) {
        pinned = pinMatchingFile(paths.installed, entry.sha256, kOwnExecutableName);
        if (!pinned) {
            return 1;
        }
    }
    std::string commandLine = buildRestartDoneCommandLine(paths.installed, channel);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // Suspended until it holds the installation's lock, so that no other start comes between.
    std::wstring wideCommandLine = widen(commandLine);
    if (!::CreateProcessW(nullptr, wideCommandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                          nullptr, &startup, &info)) {
        logger().error("Failed to launch new VESK_Updater.exe. Error: " + std::to_string(::GetLastError()));
        return 1;
    }
    ProcessHandles started = ProcessHandles::adopt(info); // nothing waits for the new executable
    handInstanceLockTo(started.process.get(), info.dwProcessId);
    ::ResumeThread(started.thread.get());
    pinned.reset();
    logger().info("New VESK_Updater.exe launched successfully - exiting");
    return 0;
}

void restartDoneSteps(const UpdateSources& sources) {
    logger().info("=== Self-Update Flow: restart-done mode ===");
    const SelfReplacementPaths paths = selfReplacementPaths(sources.installDirectory());

    if (existsForUpdate(paths.copy)) {
        logger().info("Deleting: " + paths.copy);
        if (::DeleteFileW(pathForWindows(paths.copy).c_str())) {
            logger().info("Deleted successfully");
        } else {
            logger().warning("Failed to delete " + paths.copy);
        }
    }
    // Only empty folders are removed: the copy's own log normally keeps both of them.
    removeEmptyFolder(paths.updateLogFolder, "Deleting update log directory: ",
                      "Failed to delete update log directory (may not be empty)");
    removeEmptyFolder(paths.updateFolder,
                      "Deleting update directory: ", "Failed to delete update directory (may not be empty)");
    logger().info("Self-update cleanup completed - proceeding with normal execution");
}

} // namespace

int runRestartStart(const std::string& channel, std::uint32_t processId, const UpdateSources& sources,
                    std::chrono::milliseconds waitLimit) {
    // Anything that escapes a step is one more failure of the copy: exit code 1, nothing else started.
    try {
        return restartStartSteps(channel, processId, sources, waitLimit);
    } catch (...) {
        logUnexpectedError("Self-update (restart-start)");
        return 1;
    }
}

void runRestartDone() {
    runRestartDone(UpdateSources::fromSettings());
}

void runRestartDone(const UpdateSources& sources) {
    // The clean-up only tidies up: whatever goes wrong in it, the start-up goes on.
    try {
        restartDoneSteps(sources);
    } catch (...) {
        logUnexpectedError("Self-update cleanup (restart-done)");
    }
}

} // namespace vesk::updater
