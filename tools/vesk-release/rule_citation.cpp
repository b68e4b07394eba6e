#include "rule_citation.h"

#include <array>

namespace vesk::release {

namespace {

constexpr const char* kManifestGuide = "docs/manifest.md";

// The section anchors of the rules in the manifest guide, rule 1 first. Renaming a heading there means
// changing it here too; scripts/check-docs.py fails when an anchor has no heading.
constexpr std::array<const char*, 8> kRuleSections = {
    "rule-1-key-colon-and-value-on-one-line",
    "rule-2-zero-one-or-two-spaces-before-a-name",
    "rule-3-the-first-occurrence-of-a-key-is-the-one-read",
    "rule-4-file-entries-are-flat",
    "rule-5-no-square-brackets-inside-a-files-array",
    "rule-6-the-release-list-is-the-longest-files-array",
    "rule-7-every-name-once",
    "rule-8-names-without-escapes",
};

} // namespace

std::string writingRuleCitation(int rule) {
    std::string text = "[writing rule " + std::to_string(rule) + "]";
    if (rule >= 1 && rule <= static_cast<int>(kRuleSections.size())) {
        text += " see " + std::string(kManifestGuide) + "#" + kRuleSections[static_cast<size_t>(rule - 1)];
    }
    return text;
}

} // namespace vesk::release
