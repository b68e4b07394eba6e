#include "client/output_interpretation.h"

#include <array>
#include <cstdint>
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

constexpr std::array<std::string_view, 2> kFilePhrases{"Updated:", "Installing:"};
// An error line needs "ERROR" as well, but never matches without this.
constexpr std::string_view kErrorPhrase = "Failed";

// Every phrase a rule looks for, numbered: the fixed rules in their order (two numbers each, phrase and
// alternative), then the file phrases and the error phrase. One scan of a line tells which of them occur in
// it, instead of one search per phrase: most of a console updater's output matches none.
constexpr size_t kFixedRuleCount = kRulesBeforeFiles.size() + 1 + kRulesAfterErrors.size();
constexpr size_t kCompletedSlot = kRulesBeforeFiles.size();
constexpr size_t kFirstFilePhrase = 2 * kFixedRuleCount;
constexpr size_t kErrorPhraseNumber = kFirstFilePhrase + kFilePhrases.size();

constexpr auto kAllPhrases = [] {
    std::array<std::string_view, kErrorPhraseNumber + 1> all{};
    size_t count = 0;
    auto add = [&](const FixedRule& rule) {
        all[count++] = rule.phrase;
        all[count++] = rule.alternative.empty() ? rule.phrase : rule.alternative;
    };
    for (const FixedRule& rule : kRulesBeforeFiles) {
        add(rule);
    }
    add(kCompletedRule);
    for (const FixedRule& rule : kRulesAfterErrors) {
        add(rule);
    }
    for (std::string_view phrase : kFilePhrases) {
        all[count++] = phrase;
    }
    all[count++] = kErrorPhrase;
    return all;
}();

using PhraseSet = std::uint32_t;
static_assert(kAllPhrases.size() <= 32);

constexpr auto kPhraseStarts = [] {
    std::array<bool, 256> starts{};
    for (std::string_view phrase : kAllPhrases) {
        starts[static_cast<unsigned char>(phrase.front())] = true;
    }
    return starts;
}();

// The numbers of the phrases that occur anywhere in the line.
PhraseSet phrasesIn(std::string_view line) {
    PhraseSet found = 0;
    for (size_t at = 0; at < line.size(); ++at) {
        if (!kPhraseStarts[static_cast<unsigned char>(line[at])]) {
            continue;
        }
        const std::string_view rest = line.substr(at);
        for (size_t number = 0; number < kAllPhrases.size(); ++number) {
            const std::string_view phrase = kAllPhrases[number];
            if (phrase.front() == rest.front() && rest.starts_with(phrase)) {
                found |= PhraseSet{1} << number;
            }
        }
    }
    return found;
}

// Whether the fixed rule in the given slot (its place in the numbering above) matches.
bool fixedRuleMatches(PhraseSet found, size_t slot) {
    return ((found >> (2 * slot)) & 3u) != 0;
}

// File lines raise the bar in small steps but stop raising it once it reaches this value.
constexpr int kFileProgressCeiling = 85;
constexpr int kFileProgressStep = 3;

// The status texts of the fixed rules by slot, made once: a console updater may repeat a phrase on every
// line. Never destroyed, as the thread reading output may still run while the process ends.
const std::string& statusOf(size_t slot) {
    static const std::string* const texts = [] {
        auto* made = new std::string[kFixedRuleCount];
        for (size_t index = 0; index < kFixedRuleCount; ++index) {
            const FixedRule& rule = index < kCompletedSlot    ? kRulesBeforeFiles[index]
                                    : index == kCompletedSlot ? kCompletedRule
                                                              : kRulesAfterErrors[index - kCompletedSlot - 1];
            made[index] = std::string(rule.status);
        }
        return made;
    }();
    return texts[slot];
}

void apply(size_t slot, int progress, int& runningProgress, IProgressCallback& callback) {
    callback.onStatus(statusOf(slot));
    runningProgress = progress;
    callback.onProgress(runningProgress);
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
    const PhraseSet found = phrasesIn(line);
    if (found == 0) {
        return; // an empty line too
    }
    for (size_t slot = 0; slot < kRulesBeforeFiles.size(); ++slot) {
        if (fixedRuleMatches(found, slot)) {
            apply(slot, kRulesBeforeFiles[slot].progress, progress, callback);
            return;
        }
    }
    if (((found >> kFirstFilePhrase) & 3u) != 0) {
        callback.onStatus(installingStatus(line));
        if (progress < kFileProgressCeiling) {
            progress += kFileProgressStep;
            callback.onProgress(progress);
        }
        return;
    }
    if (fixedRuleMatches(found, kCompletedSlot)) {
        apply(kCompletedSlot, kCompletedRule.progress, progress, callback);
        return;
    }
    if ((found >> kErrorPhraseNumber) & 1u) {
        if (contains(line, "ERROR")) {
            callback.onError(std::string(line.substr(line.find(kErrorPhrase))));
            return;
        }
    }
    for (size_t index = 0; index < kRulesAfterErrors.size(); ++index) {
        if (fixedRuleMatches(found, kCompletedSlot + 1 + index)) {
            apply(kCompletedSlot + 1 + index, kRulesAfterErrors[index].progress, progress, callback);
            return;
        }
    }
}

} // namespace vesk::updater
