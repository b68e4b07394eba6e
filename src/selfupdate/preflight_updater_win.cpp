#include "selfupdate/preflight_updater_win.h"

#include "core/current_channel.h"
#include "core/handles_win.h"
#include "core/instance_lock_win.h"
#include "core/logger.h"
#include "integrity/file_hash.h"
#include "integrity/manifest_signature.h"
#include "manifest/manifest_text.h"
#include "core/settings.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "selfupdate/download_checks_win.h"
#include "selfupdate/file_checks_win.h"
#include "selfupdate/release_manifest.h"
#include "core/log_line.h"
#include "selfupdate/release_trust.h"
#include "selfupdate/restart_command_line.h"
#include "selfupdate/unexpected_error.h"
#include "selfupdate/verified_launch_win.h"
#include "transfer/download_progress.h"
#include "transfer/fallback_download.h"
#include "transfer/http_download.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace vesk::updater {

namespace {

constexpr DWORD kReplaceFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;

std::string headOf(const std::string& text, size_t count) {
    return text.substr(0, std::min(count, text.size()));
}

// How the deletion of a rejected installed file is reported; the two checks word it differently.
struct DeleteWording {
    const char* deleted;    // INFO + name
    const char* notDeleted; // WARNING + name
    const char* failed;     // ERROR + name + ": " + error text
};

void deleteRejectedFile(const std::string& path, const std::string& name, const DeleteWording& wording) {
    const DeleteResult result = deleteFileReporting(path);
    switch (result.outcome) {
    case DeleteOutcome::Deleted:
        logger().info(wording.deleted + name);
        break;
    case DeleteOutcome::NotFound:
        logger().warning(wording.notDeleted + name);
        break;
    case DeleteOutcome::Failed:
        logger().error(wording.failed + name + ": " + result.errorText);
        break;
    }
}

const std::string kKeepingMismatched = "Keeping mismatched file until a verified replacement arrives: ";

} // namespace

// The normal process exit: registered exit handlers run and the log stays complete.
PreflightUpdater::PreflightUpdater()
    : PreflightUpdater(UpdateSources::fromSettings(), [] { std::exit(0); }) {}

PreflightUpdater::PreflightUpdater(UpdateSources sources, std::function<void()> endProcess)
    : sources_(std::move(sources)), endProcess_(std::move(endProcess)) {}

void PreflightUpdater::setObserver(PreflightObserver observer) {
    observer_ = std::move(observer);
}

void PreflightUpdater::runPreflight(const std::string& channel) {
    // Whatever escapes a step ends the run like any other failed preflight: the caller goes on and looks
    // for the files it needs.
    try {
        runSteps(channel);
    } catch (...) {
        logUnexpectedError("Preflight update");
    }
}

void PreflightUpdater::runSteps(const std::string& channel) {
    counters_ = PreflightCounters{};
    logger().info("=== Preflight Update Starting ===");
    logger().info("Channel: " + channelForLog(channel));

    const std::string manifestUrl = sources_.manifestUrl(channel);
    logger().info("Downloading manifest from: " + manifestUrl);
    const std::string manifestText = HttpDownloader::downloadToString(manifestUrl);
    if (manifestText.empty()) {
        logger().warning("Failed to download manifest - skipping preflight update");
        return;
    }
    logger().info("Manifest downloaded successfully  (" + std::to_string(manifestText.size()) + " bytes)");

    logManifestSignatureStatus(manifestText, SignatureReportStyle::Detailed);

    ReleaseManifest release = readReleaseManifest(manifestText);
    if (sources_.trust.enforced()) {
        const TrustVerdict verdict = checkReleaseTrust(manifestText, channel, sources_.trust);
        if (!verdict.trusted()) {
            return; // nothing is installed, deleted or handed over on the word of this manifest
        }
        const bool nested = release.nested;
        release = readSignedReleaseManifest(verdict.signedText);
        release.nested = nested;
        rememberTrustedRelease(release.objectText);
    }
    if (!release.nested) {
        logger().error("No 'manifest' object found in downloaded JSON - using root level");
    } else {
        logger().debug("Found nested manifest object (" + std::to_string(release.objectText.size()) +
                       " bytes)");
        logger().debug("Manifest object preview: " + headOf(release.objectText, 200) + "...");
    }
    logger().info("Manifest version: " + logValue(release.version) + " build: " + logValue(release.build));
    const std::vector<std::string> baseUrls = sources_.baseUrls();

    // The own executable goes first: when it is replaced, this process ends and the new one repeats the run.
    const std::string ownEntry = ManifestText::findFileObject(release.objectText, kOwnExecutableName);
    const std::string installDirectory = sources_.installDirectory();
    if (!ownEntry.empty() && handOverIfOwnExecutableDiffers(ownEntry, installDirectory, channel)) {
        return;
    }

    const std::string backupDirectory = backupDirectoryOf(installDirectory);
    ::CreateDirectoryW(pathForWindows(backupDirectory).c_str(),
                       nullptr); // an existing folder is the normal case
    logger().info("Install directory: " + installDirectory);
    logger().info("Backup directory: " + backupDirectory);
    logger().info("Processing " + std::to_string(kCoreFileNames.size()) + " core updater files");

    for (const char* name : kCoreFileNames) {
        processCoreFile(name, release.objectText, installDirectory, release.version, release.build, baseUrls);
    }

    for (const std::string& line : preflightSummaryLines(counters_)) {
        logger().info(line);
    }
}

bool PreflightUpdater::handOverIfOwnExecutableDiffers(const std::string& ownEntry,
                                                      const std::string& installDirectory,
                                                      const std::string& channel) {
    logger().info("Found VESK_Updater.exe in manifest - checking if update needed");
    const std::string expectedDigest = ManifestText::extractValue(ownEntry, "sha256");
    const SelfReplacementPaths paths = selfReplacementPaths(installDirectory);
    if (expectedDigest.empty() || !existsForUpdate(paths.installed)) {
        return false;
    }
    // A copy that cannot be read counts as current: replacing it blindly could leave no program at all.
    // Normally it is the running program, whose digest is already known.
    std::optional<std::string> actualDigest = ownExecutableHashIfSameFile(paths.installed);
    if (!actualDigest) {
        actualDigest = computeFileSha256(paths.installed);
    }
    if (actualDigest->empty() || digestsEqual(expectedDigest, *actualDigest)) {
        logger().info("VESK_Updater.exe hash matches - no self-update needed");
        return false;
    }

    logger().info("VESK_Updater.exe hash mismatch - initiating self-update process");
    // Nothing is copied for a hand-over that cannot happen: the system starts no program past MAX_PATH.
    if (!canStartProgramAt(paths.copy)) {
        logger().error("Cannot start a program at " + paths.copy +
                       ": the path is longer than Windows can start - self-update skipped");
        return false;
    }
    ::CreateDirectoryW(pathForWindows(paths.updateFolder).c_str(), nullptr);
    logger().info("Copying current VESK_Updater.exe to: " + paths.copy);
    if (!::CopyFileW(pathForWindows(paths.installed).c_str(), pathForWindows(paths.copy).c_str(), FALSE)) {
        logger().error("Failed to copy VESK_Updater.exe. Error: " + std::to_string(::GetLastError()));
        return false;
    }
    logger().info("Copy successful - spawning new process");

    std::string commandLine = buildRestartStartCommandLine(paths.copy, channel, ::GetCurrentProcessId());
    logger().info("Spawning: " + commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // Suspended until it holds the installation's lock, so that no other start can come between this process
    // and the copy.
    std::wstring wideCommandLine = widen(commandLine);
    if (!::CreateProcessW(nullptr, wideCommandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                          nullptr, &startup, &info)) {
        logger().error("Failed to spawn new process. Error: " + std::to_string(::GetLastError()));
        return false;
    }
    ProcessHandles started = ProcessHandles::adopt(info);
    handInstanceLockTo(started.process.get(), info.dwProcessId);
    ::ResumeThread(started.thread.get());
    logger().info("New process spawned successfully - exiting current process");
    // Closed at once: the copy waits for this process, not the other way round.
    started = ProcessHandles{};
    if (observer_.endProcess) {
        observer_.endProcess();
    } else {
        endProcess_();
    }
    return true;
}

void PreflightUpdater::processCoreFile(const std::string& name, const std::string& manifestObject,
                                       const std::string& installDirectory, const std::string& version,
                                       const std::string& build, const std::vector<std::string>& baseUrls) {
    logger().debug("Checking file: " + name);
    ++counters_.checked;
    const std::string entry = ManifestText::findFileObject(manifestObject, name);
    if (entry.empty()) {
        logger().warning("File not found in manifest files array: " + name);
        return;
    }
    logger().debug("Found file object for " + name + " (" + std::to_string(entry.size()) + " bytes)");
    logger().debug("File object content: " + headOf(entry, 150) + "...");

    FileEntryValues values = readFileEntryValues(entry);
    if (values.targetPath.empty()) {
        values.targetPath = name;
    }
    if (values.url.empty()) {
        values.url = buildFileUrl(version, build, baseUrls, name);
    }
    logger().debug("File details - Size: " + values.size + ", SHA256: " + digestPreview(values.sha256) +
                   "..., URL: " + values.url);
    // The program runs elevated: a manifest must not be able to place files outside the install folder.
    if (!isContainedTargetPath(values.targetPath)) {
        logger().error("Unsafe target path for " + name + ": " + values.targetPath + " - skipping");
        return;
    }
    const CoreFilePaths paths = coreFilePaths(installDirectory, name, values.targetPath);

    bool needsUpdate = false;
    std::string reason;
    // A program that trusts only signed releases never gives up an installed file before the signed
    // release's replacement has arrived and been verified.
    const bool keepMismatched = sources_.trust.enforced();
    if (!existsForUpdate(paths.installed)) {
        needsUpdate = true;
        reason = "file missing";
        logger().info("File missing: " + name);
    } else {
        if (!values.size.empty()) {
            const std::optional<std::uint64_t> expectedSize = parseSizeText(values.size);
            std::uint32_t sizeError = 0;
            const std::optional<std::uint64_t> actualSize =
                expectedSize ? readFileSize(paths.installed, sizeError) : std::nullopt;
            if (!expectedSize || !actualSize) {
                needsUpdate = true;
                reason = "size check failed";
                logger().warning("Size check failed for " + name);
            } else if (*expectedSize != *actualSize) {
                needsUpdate = true;
                reason = installedSizeMismatchReason(values.size, *actualSize);
                logger().info("File size mismatch for " + name + ": " + reason);
                if (keepMismatched) {
                    logger().info(kKeepingMismatched + paths.installed);
                } else {
                    logger().info("Deleting corrupted file to force clean re-download: " + paths.installed);
                    deleteRejectedFile(
                        paths.installed, name,
                        {"Successfully deleted corrupted file: ", "Failed to delete corrupted file: ",
                         "Exception while deleting corrupted file "});
                }
            }
        }
        if (!needsUpdate && !values.sha256.empty()) {
            const std::string actualDigest = computeFileSha256(paths.installed);
            if (actualDigest.empty()) {
                needsUpdate = true;
                reason = "hash calculation failed";
                logger().warning("Hash calculation failed for " + name);
                // A read failure says nothing about the file: it may well be good, so it stays until a
                // verified replacement is in hand.
                logger().info("Keeping unverifiable file until a verified replacement arrives: " +
                              paths.installed);
            } else if (!digestsEqual(values.sha256, actualDigest)) {
                needsUpdate = true;
                reason = "hash mismatch";
                logger().info("File hash mismatch for " + name + ": expected " +
                              digestPreview(values.sha256) + "..., actual " + digestPreview(actualDigest) +
                              "...");
                if (keepMismatched) {
                    logger().info(kKeepingMismatched + paths.installed);
                } else {
                    logger().info("Deleting corrupted file to force clean re-download: " + paths.installed);
                    deleteRejectedFile(paths.installed, name,
                                       {"Successfully deleted hash-mismatched file: ",
                                        "Failed to delete hash-mismatched file: ",
                                        "Exception while deleting hash-mismatched file "});
                }
            }
        }
    }

    if (!needsUpdate) {
        logger().debug("File is current: " + name);
        return;
    }
    ++counters_.needingUpdate;
    logger().info("File needs update: " + name + " (" + reason + ")");

    if (values.url.empty()) {
        logger().error("Cannot determine download URL for " + name + " - skipping");
        return;
    }
    logger().info("Downloading " + name + " from: " + logValue(values.url));
    logger().debug("Temp download path: " + paths.temporaryDownload);
    std::string downloadedPath;
    std::vector<std::string> attempts;
    bool downloaded = false;
    {
        if (observer_.downloadStarted) {
            observer_.downloadStarted(name);
        }
        const std::optional<std::uint64_t> listedSize =
            values.size.empty() ? std::nullopt : parseSizeText(values.size);
        const ScopedDownloadProgress watch(
            [this, listedSize](std::uint64_t received, std::optional<std::uint64_t> announced) {
                if (observer_.downloadProgress) {
                    observer_.downloadProgress(received, announced ? announced : listedSize);
                }
            });
        downloaded = downloadWithFallback(baseUrls, values.url, name, downloadedPath, attempts,
                                          candidateChecks(name, values, sources_.trust.enforced()));
        if (observer_.downloadEnded) {
            observer_.downloadEnded();
        }
    }
    if (!downloaded) {
        logger().error("Failed to download " + name + ". Attempts:\n" + formatAttemptList(attempts));
        return;
    }
    // A failed move leaves nothing (or an old leftover) at the temporary path; verification rejects it.
    if (!::MoveFileExW(pathForWindows(downloadedPath).c_str(),
                       pathForWindows(paths.temporaryDownload).c_str(), kReplaceFlags)) {
        ::DeleteFileW(pathForWindows(downloadedPath).c_str());
    }
    logger().info("Download completed for " + name);

    const std::string rejection =
        downloadRejection(paths.temporaryDownload, values, sources_.trust.enforced());
    if (!rejection.empty()) {
        logger().error("Downloaded file verification failed for " + name + ": " + rejection);
    } else {
        logger().info("File verification passed for " + name);
        if (existsForUpdate(paths.installed)) {
            logger().debug("Creating backup: " + paths.backup);
            if (::CopyFileW(pathForWindows(paths.installed).c_str(), pathForWindows(paths.backup).c_str(),
                            FALSE)) {
                logger().debug("Backup created successfully");
            } else {
                logger().warning("Failed to create backup for " + name);
            }
        }
        logger().info("Replacing " + name + "...");
        if (::MoveFileExW(pathForWindows(paths.temporaryDownload).c_str(),
                          pathForWindows(paths.installed).c_str(), kReplaceFlags)) {
            logger().info("Successfully updated: " + name);
            ++counters_.updated;
        } else {
            logger().error("Failed to replace " + name + ": Error " + std::to_string(::GetLastError()));
        }
    }
    ::DeleteFileW(pathForWindows(paths.temporaryDownload).c_str());
}

} // namespace vesk::updater
