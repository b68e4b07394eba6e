#include "selfupdate/temp_copy_handoff_win.h"

#include "core/current_channel.h"
#include "core/handles_win.h"
#include "core/logger.h"
#include "core/settings.h"
#include "core/trusted_key.h"
#include "core/wide_text.h"
#include "manifest/manifest_text.h"
#include "selfupdate/release_manifest.h"
#include "selfupdate/path_lookup_win.h"
#include "selfupdate/unexpected_error.h"
#include "selfupdate/verified_launch_win.h"

#include <shellapi.h>

#include <optional>
#include <string>
#include <vector>

namespace vesk::updater {

namespace {

// In a program that trusts only signed releases: the console updater and the waiting copy it will install,
// each pinned after matching the release this run trusted. Nothing (after an ERROR line) when either does
// not match or no release was trusted in this run.
std::optional<std::vector<PinnedFile>> pinSignedHandOverFiles(const std::string& consoleUpdaterPath,
                                                             const std::string& tempCopyPath) {
    const std::optional<std::string> release = rememberedTrustedRelease();
    if (!release) {
        logger().error("Not starting Updater.exe: no signed manifest was trusted in this run");
        return std::nullopt;
    }
    std::vector<PinnedFile> pinned;
    const std::pair<std::string, std::string> files[] = {{"Updater.exe", consoleUpdaterPath},
                                                         {"VESK_Updater.exe", tempCopyPath}};
    for (const auto& [name, path] : files) {
        const FileEntryValues entry = readFileEntryValues(ManifestText::findFileObject(*release, name));
        std::optional<PinnedFile> file = pinMatchingFile(path, entry.sha256, name);
        if (!file) {
            return std::nullopt;
        }
        pinned.push_back(std::move(*file));
    }
    return pinned;
}

bool handOverTempCopy() {
    logger().info("Checking for VESK_Updater_temp.exe...");
    const std::string installDirectory = getInstallDirectory();
    const std::string tempCopyPath = installDirectory + "\\VESK_Updater_temp.exe";
    const std::string consoleUpdaterPath = installDirectory + "\\Updater.exe";

    logger().info("Checking temp file: " + tempCopyPath);
    const PathLookupResult tempCopy = lookUpPath(tempCopyPath);
    if (tempCopy.outcome == PathLookup::Failed) {
        // Nothing is handed over on a guess; the next successful update looks again.
        logger().warning("Could not check temp file: " + tempCopyPath + " (error " +
                         std::to_string(tempCopy.error) + ")");
        return false;
    }
    if (tempCopy.outcome == PathLookup::Missing) {
        logger().info("No temp file detected - normal startup");
        return false;
    }

    logger().info("=== VESK_Updater_temp.exe detected! ===");
    logger().info("Launching Updater.exe to handle replacement...");

    const PathLookupResult consoleUpdater = lookUpPath(consoleUpdaterPath);
    if (consoleUpdater.outcome != PathLookup::Found) {
        if (consoleUpdater.outcome == PathLookup::Failed) {
            logger().error("Could not check Updater.exe at: " + consoleUpdaterPath + " (error " +
                           std::to_string(consoleUpdater.error) + ")");
        } else {
            logger().error("Updater.exe not found at: " + consoleUpdaterPath);
        }
        logger().error("Cannot perform self-update without Updater.exe");
        return false;
    }

    logger().info("Updater.exe found at: " + consoleUpdaterPath);
    logger().info("Launching Updater.exe for silent self-update...");

    // The console updater's own default is the stable channel, so that word is never passed on.
    std::string parameters;
    if (!currentChannel.empty() && currentChannel != "stable") {
        parameters = "--channel " + currentChannel;
        logger().info("Passing channel to Updater.exe: -- " + currentChannel);
    }

    // Held until the console updater has started, so the bytes checked are the bytes it runs and installs.
    std::optional<std::vector<PinnedFile>> pinned;
    if (trustedReleaseMode()) {
        pinned = pinSignedHandOverFiles(consoleUpdaterPath, tempCopyPath);
        if (!pinned) {
            return false;
        }
    }

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No shell error box: a failed start is logged and answered with false. A box would hold the update
    // thread (and so the window's completion) until somebody dismisses it, which in an unattended run
    // is never.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    const std::wstring wideFile = widen(consoleUpdaterPath);
    const std::wstring wideParameters = widen(parameters);
    const std::wstring wideDirectory = widen(installDirectory);
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.c_str();
    info.lpDirectory = wideDirectory.c_str();
    info.nShow = SW_HIDE;
    if (!::ShellExecuteExW(&info)) {
        logger().error("Failed to launch Updater.exe. Error code: " + std::to_string(::GetLastError()));
        return false;
    }
    // Nothing waits for the console updater: it can only replace this program once it has ended.
    KernelHandle process(info.hProcess);

    logger().info("Updater.exe launched successfully");
    logger().info("VESK_Updater.exe will now exit to allow replacement");
    return true;
}

} // namespace

bool runTempCopyHandoff() {
    // Runs at the very end of an update on the update thread: a failure here must not take the program
    // down before its window has closed. Whatever escapes counts as a hand-over that did not happen.
    try {
        return handOverTempCopy();
    } catch (...) {
        logUnexpectedError("Temp-copy handoff");
        return false;
    }
}

} // namespace vesk::updater
