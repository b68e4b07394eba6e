#include "client/output_interpretation.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
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

// Each phrase is looked for from one byte of it, its anchor: its first upper-case letter, or for the
// phrases written in lower case only their 'f'. A line then needs a closer look only at its upper-case
// letters and its 'f's, and only for the phrases anchored at that byte; most text, and every line of a busy
// console updater that matches nothing, passes eight bytes at a time.
constexpr bool isAnchorByte(char byte) {
    return (byte >= 'A' && byte <= 'Z') || byte == 'f';
}

constexpr auto kAnchorOffsets = [] {
    std::array<size_t, kAllPhrases.size()> offsets{};
    for (size_t number = 0; number < kAllPhrases.size(); ++number) {
        const std::string_view phrase = kAllPhrases[number];
        size_t at = 0;
        while (at < phrase.size() && !isAnchorByte(phrase[at])) {
            ++at;
        }
        offsets[number] = at;
    }
    return offsets;
}();

static_assert(
    [] {
        for (size_t number = 0; number < kAllPhrases.size(); ++number) {
            if (kAnchorOffsets[number] >= kAllPhrases[number].size()) {
                return false;
            }
        }
        return true;
    }(),
    "every phrase needs an anchor byte");

// The phrases anchored at each byte value. A rule with one phrase fills both its numbers with it; only the
// first is looked for, as a rule matches when either of its numbers is found.
constexpr auto kPhrasesAnchoredAt = [] {
    std::array<PhraseSet, 256> sets{};
    for (size_t number = 0; number < kAllPhrases.size(); ++number) {
        const bool repeat =
            number < kFirstFilePhrase && number % 2 == 1 && kAllPhrases[number] == kAllPhrases[number - 1];
        if (!repeat) {
            sets[static_cast<unsigned char>(kAllPhrases[number][kAnchorOffsets[number]])] |= PhraseSet{1}
                                                                                              << number;
        }
    }
    return sets;
}();

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = kOnes * 0x80;
constexpr std::uint64_t kLowBits = kOnes * 0x7F;

// The high bit of every byte of `word` that is an anchor byte (an upper-case ASCII letter or 'f'), and no
// other bit. Each byte is worked on with its high bit cleared, so no byte carries into its neighbour; bytes
// with their high bit set are never anchors.
std::uint64_t anchorBytes(std::uint64_t word) {
    const std::uint64_t low = word & kLowBits;
    // The high bit of (0x7F + 'Z' + 1 - low) is set when low <= 'Z', that of (low + 0x7F - ('A' - 1)) when
    // low >= 'A'.
    const std::uint64_t upperCase =
        (kOnes * (0x7F + 'Z' + 1) - low) & (low + kOnes * (0x7F - ('A' - 1))) & ~word & kHighBits;
    // A byte equal to 'f' turns zero; adding 0x7F to its low bits sets the high bit of every other byte.
    const std::uint64_t f = word ^ (kOnes * 'f');
    const std::uint64_t isF = ~(((f & kLowBits) + kLowBits) | f) & kHighBits;
    return upperCase | isF;
}

// Adds those of the candidates, the phrases anchored at the byte at `at`, that occur there.
void lookAt(std::string_view line, size_t at, PhraseSet candidates, PhraseSet& found) {
    while (candidates != 0) {
        const int number = std::countr_zero(candidates);
        candidates &= candidates - 1;
        const size_t offset = kAnchorOffsets[number];
        const std::string_view phrase = kAllPhrases[number];
        if (at < offset) {
            continue;
        }
        const size_t start = at - offset;
        // Its first and last bytes turn most near misses away before the whole phrase is compared.
        if (line.size() - start >= phrase.size() && line[start] == phrase.front() &&
            line[start + phrase.size() - 1] == phrase.back() &&
            std::memcmp(line.data() + start, phrase.data(), phrase.size()) == 0) {
            found |= PhraseSet{1} << number;
        }
    }
}

// The numbers of the phrases that occur anywhere in the line.
PhraseSet phrasesIn(std::string_view line) {
    PhraseSet found = 0;
    size_t at = 0;
    for (; line.size() - at >= sizeof(std::uint64_t); at += sizeof(std::uint64_t)) {
        std::uint64_t word;
        std::memcpy(&word, line.data() + at, sizeof word);
        for (std::uint64_t marks = anchorBytes(word); marks != 0; marks &= marks - 1) {
            // Which byte a mark belongs to depends on the byte order; the order they are looked at in does
            // not matter.
            const size_t index = static_cast<size_t>(std::countr_zero(marks)) / 8;
            const size_t anchor = at + (std::endian::native == std::endian::little ? index : 7 - index);
            lookAt(line, anchor, kPhrasesAnchoredAt[static_cast<unsigned char>(line[anchor])], found);
        }
    }
    for (; at < line.size(); ++at) {
        if (const PhraseSet candidates = kPhrasesAnchoredAt[static_cast<unsigned char>(line[at])]) {
            lookAt(line, at, candidates, found);
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
