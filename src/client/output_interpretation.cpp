#include "client/output_interpretation.h"

#include <array>
#include <string>
#include <string_view>

namespace vesk::updater {

namespace {

bool contains(std::string_view line, std::string_view phrase) {
    return line.find(phrase) != std::string_view::npos;
}

// Phrases that set a fixed status and a fixed progress. Their order in the table below (with the two
// special rules slotted in between) decides which one wins when a line carries several phrases.
struct FixedRule {
    std::string_view phrase;
    std::string_view alternative; // empty when the rule has one phrase only
    std::string_view status;
    int progress;

    bool matches(std::string_view line) const {
        return contains(line, phrase) || (!alternative.empty() && contains(line, alternative));
    }
};

constexpr std::array<FixedRule, 7> kRulesBeforeFiles{{
    {"VESK Update Client starting", "", "Starting VESK Update Client...", 15},
    {"Checking for updates from", "", "Connecting to update server...", 20},
    {"Downloaded manifest", "downloading manifest", "Downloading update manifest...", 30},
    {"verified successfully", "Verifying", "Verifying manifest signature...", 40},
    {"No update required", "No updates available", "No updates available", 100},
    {"Starting update process", "", "Starting update process...", 45},
    {"Stopping service", "", "Stopping VESK services...", 50},
}};

constexpr FixedRule kCompletedRule{"Update completed successfully", "", "Update completed successfully!",
                                   100};

constexpr std::array<FixedRule, 2> kRulesAfterErrors{{
    {"Installing VESK services", "", "Installing VESK services...", 60},
    {"Cleaning up backup", "", "Cleaning up backup files...", 95},
}};

// File lines raise the bar in small steps but stop raising it once it reaches this value.
constexpr int kFileProgressCeiling = 85;
constexpr int kFileProgressStep = 3;

void apply(const FixedRule& rule, int& progress, IProgressCallback& callback) {
    callback.onStatus(std::string(rule.status));
    progress = rule.progress;
    callback.onProgress(progress);
}

// The file name is whatever follows the line's first colon and the character after it, reduced to its
// last path component. The first colon is used even when it belongs to a time stamp before the phrase.
std::string installingStatus(std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon + 2 >= line.size()) {
        return "Installing files...";
    }
    std::string_view name = line.substr(colon + 2);
    const size_t separator = name.find_last_of("\\/");
    if (separator != std::string_view::npos) {
        name.remove_prefix(separator + 1);
    }
    return "Installing: " + std::string(name);
}

} // namespace

void interpretOutputLine(std::string_view line, int& progress, IProgressCallback& callback) {
    if (line.empty()) {
        return;
    }
    for (const FixedRule& rule : kRulesBeforeFiles) {
        if (rule.matches(line)) {
            apply(rule, progress, callback);
            return;
        }
    }
    if (contains(line, "Updated:") || contains(line, "Installing:")) {
        callback.onStatus(installingStatus(line));
        if (progress < kFileProgressCeiling) {
            progress += kFileProgressStep;
            callback.onProgress(progress);
        }
        return;
    }
    if (kCompletedRule.matches(line)) {
        apply(kCompletedRule, progress, callback);
        return;
    }
    const size_t failed = line.find("Failed");
    if (failed != std::string_view::npos && contains(line, "ERROR")) {
        callback.onError(std::string(line.substr(failed)));
        return;
    }
    for (const FixedRule& rule : kRulesAfterErrors) {
        if (rule.matches(line)) {
            apply(rule, progress, callback);
            return;
        }
    }
}

} // namespace vesk::updater
