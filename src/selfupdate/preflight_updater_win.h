#pragma once

#include "selfupdate/preflight_observer.h"
#include "selfupdate/self_update_text.h"
#include "selfupdate/update_sources.h"

#include <functional>
#include <string>

namespace vesk::updater {

// Makes sure the console updater's core files are present and intact before anything relies on them, and
// hands over to a copy of the program when the installed executable is not the released one.
class PreflightUpdater {
public:
    // Reads the install folder and the servers from the program's settings.
    PreflightUpdater();
    // endProcess ends the process once the hand-over copy runs; when it returns (a test), so does the run.
    PreflightUpdater(UpdateSources sources, std::function<void()> endProcess);

    // Downloads the channel's manifest, checks and repairs the core files, and logs everything it does. Does
    // not return when the own executable needs replacing and the hand-over copy was started: the process
    // then ends with exit code 0.
    void runPreflight(const std::string& channel);

    // Who is told about the core-file downloads of later runs, and how the process ends after a hand-over.
    void setObserver(PreflightObserver observer);

    // The counts of the last run (all zero when it stopped before the core files).
    const PreflightCounters& counters() const { return counters_; }

private:
    void runSteps(const std::string& channel);
    // True when the hand-over copy was started and endProcess has been called.
    bool handOverIfOwnExecutableDiffers(const std::string& ownEntry, const std::string& installDirectory,
                                        const std::string& channel);
    void processCoreFile(const std::string& name, const std::string& manifestObject,
                         const std::string& installDirectory, const std::string& version,
                         const std::string& build, const std::vector<std::string>& baseUrls);

    UpdateSources sources_;
    std::function<void()> endProcess_;
    PreflightCounters counters_;
    PreflightObserver observer_;
};

} // namespace vesk::updater
