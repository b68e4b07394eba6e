// The check against hand-made manifests: each writing rule broken on its own must be reported, and a
// well-formed manifest must pass (so the checker cannot simply flag everything).

#include "manifest_check.h"

#include "manifest/manifest_text.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vesk::release;

namespace {

const std::string kShaA(64, 'a');
const std::string kShaB(64, 'b');
const std::string kShaC(64, 'C');

const std::string kWellFormed = R"({
  "manifest": {
    "version": "2.1",
    "build_number": 345,
    "files": [
      {"name": "Updater.exe", "size": 1024, "sha256": ")" +
                                kShaA + R"("},
      {"name": "libcurl.dll", "size": 2048, "sha256": ")" +
                                kShaB + R"(", "url": "/mirror/libcurl.dll"},
      {"name": "VESK_Updater.exe", "size": 4096, "sha256": ")" +
                                kShaC + R"(", "target_path": "bin\\VESK_Updater.exe"}
    ]
  }
}
)";

// kWellFormed with one piece of text replaced; the piece must occur.
std::string edited(const std::string& from, const std::string& to, const std::string& base = kWellFormed) {
    const size_t at = base.find(from);
    EXPECT_NE(at, std::string::npos) << "test text not found: " << from;
    if (at == std::string::npos) {
        return base;
    }
    return base.substr(0, at) + to + base.substr(at + from.size());
}

std::vector<Finding> blockingFindings(const ManifestCheckResult& result) {
    std::vector<Finding> out;
    for (const Problem& p : result.problems) {
        if (p.blocking) {
            out.push_back(p.finding);
        }
    }
    return out;
}

const Problem* firstOf(const ManifestCheckResult& result, Finding finding) {
    for (const Problem& p : result.problems) {
        if (p.finding == finding) {
            return &p;
        }
    }
    return nullptr;
}

const CheckedEntry* entry(const ManifestCheckResult& result, const std::string& name) {
    for (const CheckedEntry& e : result.entries) {
        if (e.name == name) {
            return &e;
        }
    }
    return nullptr;
}

} // namespace

TEST(ManifestCheck, WellFormedManifestIsReadCorrectly) {
    const ManifestCheckResult result = checkManifest(kWellFormed);
    EXPECT_TRUE(result.parsed);
    EXPECT_TRUE(result.ok()) << result.problems.front().message;
    EXPECT_EQ(result.reading.version, "2.1");
    EXPECT_EQ(result.reading.build, "345");
    ASSERT_EQ(result.entries.size(), 3u);
    const CheckedEntry* curl = entry(result, "libcurl.dll");
    ASSERT_NE(curl, nullptr);
    EXPECT_TRUE(curl->reading.found);
    EXPECT_EQ(curl->reading.size, "2048");
    EXPECT_EQ(curl->reading.sha256, kShaB);
    EXPECT_EQ(curl->reading.url, "/mirror/libcurl.dll");
    EXPECT_EQ(entry(result, "VESK_Updater.exe")->reading.targetPath, "bin\\VESK_Updater.exe");
    // Unsigned and without two of the looked-up core files: worth notes, not failures.
    EXPECT_TRUE(result.has(Finding::Signature));
    EXPECT_TRUE(result.has(Finding::Advice));
}

TEST(ManifestCheck, SpaceBeforeColonIsReportedWithItsPlace) {
    const std::string text = edited(R"("size": 2048)", R"("size" : 2048)");
    const ManifestCheckResult result = checkManifest(text);
    EXPECT_FALSE(result.ok());
    const Problem* p = firstOf(result, Finding::SpaceBeforeColon);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 1);
    EXPECT_EQ(text.substr(p->offset, 2), " :");
    // And the consequence: the updater reads no size for that entry.
    EXPECT_TRUE(result.has(Finding::EntryMisread));
    EXPECT_EQ(entry(result, "libcurl.dll")->reading.size, "");
}

TEST(ManifestCheck, LineBreakAfterColonIsReported) {
    const ManifestCheckResult result =
        checkManifest(edited(R"("sha256": ")" + kShaA, "\"sha256\":\n        \"" + kShaA));
    EXPECT_FALSE(result.ok());
    const Problem* p = firstOf(result, Finding::LineBreakAfterColon);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 1);
    EXPECT_EQ(entry(result, "Updater.exe")->reading.sha256, "");
}

TEST(ManifestCheck, LineBreakAfterTheManifestKeyLosesTheWholeObject) {
    const ManifestCheckResult result = checkManifest(edited(R"("manifest": {)", "\"manifest\":\n  {"));
    EXPECT_TRUE(result.has(Finding::LineBreakAfterColon));
    EXPECT_TRUE(result.has(Finding::ManifestMissed));
    EXPECT_FALSE(result.reading.manifestKeyFound);
}

TEST(ManifestCheck, NestedObjectInAnEntryIsReported) {
    // Before the values: the entry is cut at the nested "}" and loses size and sha256.
    const ManifestCheckResult cut = checkManifest(
        edited(R"({"name": "Updater.exe", )", R"({"name": "Updater.exe", "meta": {"arch": "x64"}, )"));
    EXPECT_FALSE(cut.ok());
    const Problem* p = firstOf(cut, Finding::NestedInEntry);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 4);
    EXPECT_EQ(entry(cut, "Updater.exe")->reading.size, "");
    EXPECT_TRUE(cut.has(Finding::EntryMisread));

    // After the values the updater happens to read them, but the rule is still broken.
    const ManifestCheckResult after = checkManifest(
        edited(R"(", "url": "/mirror/libcurl.dll"})", R"(", "url": "/mirror/libcurl.dll", "tags": ["a"]})"));
    EXPECT_FALSE(after.ok());
    EXPECT_TRUE(after.has(Finding::NestedInEntry));
    EXPECT_FALSE(after.has(Finding::EntryMisread));
}

TEST(ManifestCheck, BracketInAStringOfTheFilesArrayIsReported) {
    // Unbalanced: the array never closes for the updater, which then finds no entry at all.
    const ManifestCheckResult unbalanced = checkManifest(
        edited(R"("url": "/mirror/libcurl.dll")", R"("url": "/mirror/libcurl.dll", "note": "see [docs")"));
    EXPECT_FALSE(unbalanced.ok());
    const Problem* p = firstOf(unbalanced, Finding::BracketInFilesString);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 5);
    EXPECT_TRUE(unbalanced.has(Finding::EntryMissed));
    EXPECT_FALSE(entry(unbalanced, "Updater.exe")->reading.found);

    // Balanced: still a broken rule.
    const ManifestCheckResult balanced =
        checkManifest(edited(R"("url": "/mirror/libcurl.dll")", R"("url": "/mirror/[x]/libcurl.dll")"));
    EXPECT_TRUE(balanced.has(Finding::BracketInFilesString));
    EXPECT_FALSE(balanced.ok());
}

TEST(ManifestCheck, DuplicateNamesAreReported) {
    const ManifestCheckResult result = checkManifest(
        edited(R"(      {"name": "libcurl.dll")", R"(      {"name": "Updater.exe", "size": 7, "sha256": ")" +
                                                      kShaB + "\"},\n" + R"(      {"name": "libcurl.dll")"));
    EXPECT_FALSE(result.ok());
    const Problem* p = firstOf(result, Finding::DuplicateName);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 7);
    EXPECT_NE(p->message.find("Updater.exe"), std::string::npos);
}

TEST(ManifestCheck, VersionAfterFilesWithANestedVersionIsReported) {
    std::string text = edited(R"(    "version": "2.1",
)",
                              "");
    text = edited(R"("size": 1024,)", R"("size": 1024, "version": "9.9",)", text);
    text = edited("    ]\n  }", "    ],\n    \"version\": \"2.1\"\n  }", text);
    const ManifestCheckResult result = checkManifest(text);
    EXPECT_FALSE(result.ok());
    const Problem* p = firstOf(result, Finding::KeyNotFirst);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 3);
    EXPECT_EQ(result.reading.version, "9.9");
    EXPECT_TRUE(result.has(Finding::VersionMisread));
}

TEST(ManifestCheck, VersionAfterFilesWithoutANestedVersionIsFine) {
    std::string text = edited(R"(    "version": "2.1",
)",
                              "");
    text = edited("    ]\n  }", "    ],\n    \"version\": \"2.1\"\n  }", text);
    const ManifestCheckResult result = checkManifest(text);
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.reading.version, "2.1");
}

TEST(ManifestCheck, NameSpacingBeyondTwoSpacesIsReported) {
    const ManifestCheckResult three =
        checkManifest(edited(R"("name": "Updater.exe")", R"("name":   "Updater.exe")"));
    EXPECT_TRUE(three.has(Finding::NameSpacing));
    EXPECT_TRUE(three.has(Finding::EntryMissed));

    // No space and two spaces are both found by the updater.
    const ManifestCheckResult none =
        checkManifest(edited(R"("name": "Updater.exe")", R"("name":"Updater.exe")"));
    const ManifestCheckResult two =
        checkManifest(edited(R"("name": "Updater.exe")", R"("name":  "Updater.exe")"));
    EXPECT_TRUE(none.ok());
    EXPECT_TRUE(two.ok());
}

TEST(ManifestCheck, EscapesTheUpdaterReadsLiterallyAreReported) {
    const ManifestCheckResult key = checkManifest(edited(R"("size": 1024)", R"("si\u007ae": 1024)"));
    EXPECT_TRUE(key.has(Finding::EscapedKey));
    EXPECT_FALSE(key.ok());

    const ManifestCheckResult name = checkManifest(edited(R"("Updater.exe")", R"("Updater\u002eexe")"));
    const Problem* p = firstOf(name, Finding::EscapedName);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 8);
    EXPECT_TRUE(name.has(Finding::EntryMissed));

    // A \u escape in a value is handed over undecoded.
    const ManifestCheckResult value =
        checkManifest(edited(R"("/mirror/libcurl.dll")", R"("/mirror/lib\u0063url.dll")"));
    EXPECT_TRUE(value.has(Finding::EntryMisread));
    EXPECT_EQ(entry(value, "libcurl.dll")->reading.url, "/mirror/lib\\u0063url.dll");
}

TEST(ManifestCheck, BraceInAnEntryStringIsReported) {
    const ManifestCheckResult result =
        checkManifest(edited(R"("/mirror/libcurl.dll")", R"("/mirror/{x}/libcurl.dll")"));
    const Problem* p = firstOf(result, Finding::BraceInEntryString);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 4);
    EXPECT_FALSE(result.ok());
}

TEST(ManifestCheck, ALongerNestedFilesArrayTakesOverTheLookups) {
    const std::string nested = R"(    "extras": {"files": [")" + std::string(600, 'x') + R"("]},
    "files": [)";
    const ManifestCheckResult result = checkManifest(edited(R"(    "files": [)", nested));
    const Problem* p = firstOf(result, Finding::FilesChoice);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 6);
    EXPECT_TRUE(result.has(Finding::EntryMissed));

    // A shorter nested list leaves the manifest's own list in charge: allowed.
    const ManifestCheckResult shorter =
        checkManifest(edited(R"(    "files": [)", R"(    "extras": {"files": ["x"]},
    "files": [)"));
    EXPECT_FALSE(shorter.has(Finding::FilesChoice));
    EXPECT_FALSE(shorter.has(Finding::EntryMissed));

    // Tens of thousands of "files" keys before the list all reach its "[": the first key wins the tie
    // (reported), the entries are still read from the right list, and every key is reported once.
    std::string keys = R"(    "extras": {)";
    for (int i = 0; i < 50000; ++i) {
        keys += i ? ", \"files\": 0" : "\"files\": 0";
    }
    const std::string many = edited(R"(    "files": [)", keys + "},\n    \"files\": [");
    const ManifestCheckResult crowded = checkManifest(many);
    const Problem* choice = firstOf(crowded, Finding::FilesChoice);
    ASSERT_NE(choice, nullptr);
    EXPECT_EQ(choice->offset, many.find("\"files\": 0"));
    EXPECT_FALSE(crowded.has(Finding::EntryMissed));
    EXPECT_EQ(std::count_if(crowded.problems.begin(), crowded.problems.end(),
                            [](const Problem& p) { return p.finding == Finding::FilesNotArray; }),
              50000);
    ASSERT_EQ(crowded.entries.size(), 3u);
    EXPECT_EQ(crowded.entries[0].reading.searchLog().size(), 50001u + 8u); // one line per key, 8 others
}

// Every entry of a long list is looked up; each reading carries the updater's own log lines for it.
TEST(ManifestCheck, EveryEntryOfALongListIsReadAsTheUpdaterReadsIt) {
    std::string list;
    for (int i = 0; i < 10000; ++i) {
        list += (i ? ",\n      " : "") + std::string(R"({"name": "file)") + std::to_string(i) +
                R"(.dll", "size": )" + std::to_string(i) + R"(, "sha256": ")" + kShaA + R"("})";
    }
    const std::string text = edited(R"({"name": "Updater.exe")", list + R"(,
      {"name": "Updater.exe")");
    const ManifestCheckResult result = checkManifest(text);
    EXPECT_TRUE(result.ok());
    ASSERT_EQ(result.entries.size(), 10003u);
    for (const size_t i : {size_t{0}, size_t{4321}, size_t{9999}}) {
        const CheckedEntry& e = result.entries[i];
        ASSERT_TRUE(e.reading.found) << e.name;
        EXPECT_EQ(e.reading.size, std::to_string(i));
        std::vector<std::string> lines;
        bool dumped = true;
        vesk::updater::ManifestText::findFileObject(
            result.reading.manifestObjectText, e.name,
            [&](const std::string& level, const std::string& message) {
                lines.push_back(level + " " + message);
            },
            dumped);
        EXPECT_EQ(e.reading.searchLog(), lines);
    }
}

TEST(ManifestCheck, DuplicateKeysAreReported) {
    const ManifestCheckResult result =
        checkManifest(edited(R"("size": 1024,)", R"("size": 1024, "size": 1000,)"));
    EXPECT_TRUE(result.has(Finding::DuplicateKey));
    EXPECT_FALSE(result.ok());
}

TEST(ManifestCheck, AnUnbalancedBraceInAManifestStringCorruptsTheManifestObject) {
    const ManifestCheckResult result =
        checkManifest(edited(R"("build_number": 345,)", R"("build_number": 345, "notes": "use {braces",)"));
    EXPECT_TRUE(result.has(Finding::ManifestMisread));
    EXPECT_FALSE(result.ok());
}

TEST(ManifestCheck, AnEarlierNestedManifestKeyIsReported) {
    const std::string text = R"({"release": {"manifest": "notes.txt"},)" + kWellFormed.substr(1);
    const ManifestCheckResult result = checkManifest(text);
    const Problem* p = firstOf(result, Finding::KeyNotFirst);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->rule, 3);
    EXPECT_FALSE(result.ok());
}

TEST(ManifestCheck, ValuesTheUpdaterCannotUseAreReported) {
    const ManifestCheckResult exponent = checkManifest(edited(R"("size": 1024)", R"("size": 1.5e3)"));
    EXPECT_TRUE(exponent.has(Finding::EntryMisread));
    EXPECT_TRUE(exponent.has(Finding::BadValue));

    const ManifestCheckResult shortHash = checkManifest(edited(kShaA, "abc"));
    EXPECT_TRUE(shortHash.has(Finding::BadValue));
    EXPECT_FALSE(shortHash.has(Finding::EntryMisread)); // read as written, but useless

    const ManifestCheckResult stringSize = checkManifest(edited(R"("size": 1024)", R"("size": "1024")"));
    EXPECT_TRUE(stringSize.ok()); // accepted by the updater; only a note

    const ManifestCheckResult noBuild = checkManifest(edited(R"(    "build_number": 345,
)",
                                                             ""));
    EXPECT_TRUE(noBuild.has(Finding::BadValue));
    EXPECT_FALSE(noBuild.ok());
}

TEST(ManifestCheck, BuildIsReadWhenBuildNumberIsMissing) {
    const ManifestCheckResult result = checkManifest(edited(R"("build_number": 345)", R"("build": "345")"));
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.reading.build, "345");
}

TEST(ManifestCheck, RootLevelManifestIsReadWithANote) {
    const std::string text =
        R"({"version": "1.0", "build_number": 7, "files": [{"name": "Updater.exe", "size": 3, "sha256": ")" +
        kShaA + R"("}]})";
    const ManifestCheckResult result = checkManifest(text);
    EXPECT_TRUE(result.ok());
    EXPECT_FALSE(result.reading.manifestKeyFound);
    EXPECT_TRUE(entry(result, "Updater.exe")->reading.found);
}

TEST(ManifestCheck, TextThatIsNotJsonIsReported) {
    const ManifestCheckResult result = checkManifest(edited("    ]\n", "    ],\n"));
    EXPECT_FALSE(result.parsed);
    EXPECT_TRUE(result.has(Finding::NotJson));
    EXPECT_EQ(result.signature.verdict, SignatureVerdict::ParseError);
    EXPECT_FALSE(result.ok());
}

TEST(ManifestCheck, ProblemsComeInTextOrder) {
    std::string text = edited(R"("size": 2048)", R"("size" : 2048)");
    text = edited(R"("size": 1024)", R"("size" : 1024)", text);
    const ManifestCheckResult result = checkManifest(text);
    std::vector<size_t> offsets;
    for (const Problem& p : result.problems) {
        if (p.offset != std::string::npos) {
            offsets.push_back(p.offset);
        }
    }
    EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
    const std::vector<Finding> blocking = blockingFindings(result);
    EXPECT_GE(std::count(blocking.begin(), blocking.end(), Finding::SpaceBeforeColon), 2);
}
