#include "core/logger.h"
#include "manifest/manifest_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

using vesk::updater::ManifestText;

namespace {

// Runs one lookup and keeps every line it logs as "LEVEL message".
struct Search {
    std::vector<std::string> lines;
    bool dumped = false;

    std::string find(const std::string& text, const std::string& name) {
        return ManifestText::findFileObject(
            text, name,
            [this](const std::string& level, const std::string& message) {
                lines.push_back(level + " " + message);
            },
            dumped);
    }
    const std::string& last() const { return lines.back(); }
    bool logged(const std::string& line) const {
        for (const auto& l : lines) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
};

std::string entry(const std::string& name, const std::string& filler = "") {
    return "{\"name\": \"" + name + "\", \"size\": 1" + filler + "}";
}

} // namespace

TEST(ManifestSearch, LogsEveryStepWithOffsetsAndReturnsTheEntry) {
    // Offsets: "files": at 1, "[" at 9, "]" at 26.
    const std::string text = R"({"files":[{"name":"a.exe"}]})";
    Search search;
    EXPECT_EQ(search.find(text, "a.exe"), R"({"name":"a.exe"})");
    const std::vector<std::string> expected = {
        "DEBUG Searching for file: a.exe",
        "DEBUG Found 1 'files' arrays",
        "DEBUG Files array at pos 1 has size: 17 bytes",
        "DEBUG Using files array at position 1 (size: 17 bytes)",
        "DEBUG Files array found: position 9 to 26",
        "DEBUG Files array content size: 17 bytes",
        "INFO === FULL FILES ARRAY DUMP (first time only) ===",
        R"(INFO Files array content: {"name":"a.exe"}])",
        "INFO === END FILES ARRAY DUMP ===",
        R"(DEBUG Searching for needles: ["name": "a.exe"] or ["name":  "a.exe"] or ["name":"a.exe"])",
        "DEBUG Found file name at position: 1",
        R"(DEBUG Extracted file object (16 bytes): {"name":"a.exe"}...)",
    };
    EXPECT_EQ(search.lines, expected);
    EXPECT_TRUE(search.dumped);
}

TEST(ManifestSearch, DumpsTheArrayOnlyForTheFirstLookupThatGetsThatFar) {
    const std::string small = R"({"files": [{"name": "a"}]})";
    const std::string other = R"({"files": [{"name": "b"}, {"name": "c"}]})";
    Search search;
    EXPECT_EQ(search.find("{}", "a"), ""); // stops before the dump: no flag change
    EXPECT_FALSE(search.dumped);
    EXPECT_EQ(search.find(small, "a"), R"({"name": "a"})");
    EXPECT_TRUE(search.dumped);
    search.lines.clear();
    EXPECT_EQ(search.find(other, "c"), R"({"name": "c"})");
    for (const auto& line : search.lines) {
        EXPECT_EQ(line.rfind("INFO", 0), std::string::npos) << line;
    }
}

TEST(ManifestSearch, ExtractedEntryPreviewIsCutAt200Characters) {
    const std::string longEntry = entry("big.dll", ", \"note\": \"" + std::string(300, 'x') + "\"");
    Search search;
    const std::string found = search.find("{\"files\": [" + longEntry + "]}", "big.dll");
    ASSERT_EQ(found, longEntry);
    EXPECT_EQ(search.last(), "DEBUG Extracted file object (" + std::to_string(longEntry.size()) +
                                 " bytes): " + longEntry.substr(0, 200) + "...");
}

TEST(ManifestSearch, WidestFilesArrayWinsAndTiesKeepTheFirst) {
    // A short nested list before the real one: the later, wider array is the one searched.
    const std::string nested = "{\"extras\": {\"files\": [" + entry("a.dll") + "]}, \"files\": [" +
                               entry("b.dll") + ", " +
                               entry("a.dll", ", \"sha256\": \"" + std::string(64, 'f') + "\"") + "]}";
    Search search;
    const std::string found = search.find(nested, "a.dll");
    EXPECT_NE(found.find("sha256"), std::string::npos) << found;
    const size_t second = nested.find("\"files\":", nested.find("\"files\":") + 1);
    EXPECT_TRUE(search.logged("DEBUG Found 2 'files' arrays"));
    EXPECT_TRUE(search.logged("DEBUG Using files array at position " + std::to_string(second) + " (size: " +
                              std::to_string(nested.rfind(']') - nested.find('[', second)) + " bytes)"));

    // Equal spans: the first array is used, so a name only in the second is not found.
    const std::string tie = R"({"a": {"files": [{"name": "x"}]}, "b": {"files": [{"name": "y"}]}})";
    Search tieSearch;
    EXPECT_EQ(tieSearch.find(tie, "y"), "");
    EXPECT_TRUE(tieSearch.logged("DEBUG Using files array at position 7 (size: 14 bytes)"));
    EXPECT_EQ(tieSearch.last(), "DEBUG File name not found in files array with any needle variant");
}

TEST(ManifestSearch, EmptyArrayCanBeChosenAndThenFindsNothing) {
    Search search;
    EXPECT_EQ(search.find(R"({"files": []})", "a"), "");
    EXPECT_TRUE(search.logged("DEBUG Files array at pos 1 has size: 1 bytes"));
    EXPECT_TRUE(search.logged("DEBUG Files array content size: 1 bytes"));
    EXPECT_TRUE(search.logged("INFO Files array content: ]"));
    EXPECT_EQ(search.last(), "DEBUG File name not found in files array with any needle variant");
}

TEST(ManifestSearch, ContentSizeIsTheDistanceBetweenTheBrackets) {
    Search search;
    EXPECT_EQ(search.find(R"("files":[x])", "a"), "");
    EXPECT_TRUE(search.logged("DEBUG Files array content size: 2 bytes"));
    EXPECT_TRUE(search.logged("DEBUG Files array found: position 8 to 10"));
}

TEST(ManifestSearch, UnclosedArraySpansToTheEndWinsAndFails) {
    // The closed array comes first and is shorter than the unclosed one, which runs to the end.
    const std::string text = R"({"x": {"files": [{"name": "a"}]}, "files": [{"name": "a"}, {"name": "b"})";
    Search search;
    EXPECT_EQ(search.find(text, "a"), "");
    const size_t second = text.rfind("\"files\":");
    const size_t open = text.find('[', second);
    EXPECT_TRUE(search.logged("DEBUG Files array at pos " + std::to_string(second) +
                              " has size: " + std::to_string(text.size() - open - 1) + " bytes"));
    EXPECT_EQ(search.last(), "DEBUG Files array closing bracket not found");
    EXPECT_FALSE(search.dumped);
}

TEST(ManifestSearch, MissingKeyAndMissingBracketsEndQuietly) {
    Search none;
    EXPECT_EQ(none.find(R"({"file": [{"name": "a"}], "files" : []})", "a"), "");
    EXPECT_EQ(none.lines,
              (std::vector<std::string>{"DEBUG Searching for file: a", "DEBUG Found 0 'files' arrays",
                                        "DEBUG No 'files' key found in manifest object at all"}));

    // No "[" after either key: both skipped without a line of their own.
    Search noBracket;
    EXPECT_EQ(noBracket.find(R"([{"files": 1, "files": 2}])", "a"), "");
    EXPECT_EQ(noBracket.lines,
              (std::vector<std::string>{"DEBUG Searching for file: a", "DEBUG Found 2 'files' arrays",
                                        "DEBUG No valid files arrays found"}));

    // A "[" that is the last character spans nothing and cannot be chosen.
    Search lastChar;
    EXPECT_EQ(lastChar.find(R"("files":[)", "a"), "");
    EXPECT_TRUE(lastChar.logged("DEBUG Files array at pos 0 has size: 0 bytes"));
    EXPECT_EQ(lastChar.last(), "DEBUG No valid files arrays found");
}

TEST(ManifestSearch, NameSpacingVariantsAndTheirPriority) {
    EXPECT_EQ(Search().find(R"({"files": [{"size": 1,"name":"n.dll"}]})", "n.dll"),
              R"({"size": 1,"name":"n.dll"})");
    EXPECT_EQ(Search().find(R"({"files": [{"name":  "n.dll"}]})", "n.dll"), R"({"name":  "n.dll"})");
    EXPECT_EQ(Search().find(R"({"files": [{"name" : "n.dll"}]})", "n.dll"), "");
    EXPECT_EQ(Search().find(R"({"files": [{"name":   "n.dll"}]})", "n.dll"), "");

    // Duplicates: one space wins over an earlier no-space entry, two spaces over an earlier no-space one.
    const std::string dup =
        R"({"files": [{"name":"d", "v": 1}, {"name":  "d", "v": 2}, {"name": "d", "v": 3}]})";
    EXPECT_EQ(Search().find(dup, "d"), R"({"name": "d", "v": 3})");
    const std::string dup2 = R"({"files": [{"name":"d", "v": 1}, {"name":  "d", "v": 2}]})";
    EXPECT_EQ(Search().find(dup2, "d"), R"({"name":  "d", "v": 2})");
}

TEST(ManifestSearch, NamesMatchOnlyWholeQuotedNameValues) {
    const std::string text = R"({"files": [{"name": "VESK_Updater.exe", "target_path": "Updater.exe"},
        {"name": "updater.exe"}]})";
    Search search;
    EXPECT_EQ(search.find(text, "Updater.exe"), "");
    EXPECT_EQ(search.last(), "DEBUG File name not found in files array with any needle variant");
    EXPECT_EQ(Search().find(text, "VESK_Updater.exe"),
              R"({"name": "VESK_Updater.exe", "target_path": "Updater.exe"})");
}

TEST(ManifestSearch, EntryIsCutAtTheNearestBraces) {
    // A nested object before the entry's own end cuts it at the nested "}".
    EXPECT_EQ(Search().find(R"({"files": [{"name": "a", "meta": {"k": 1}, "size": 2}]})", "a"),
              R"({"name": "a", "meta": {"k": 1})");
    // A nested object before the name makes its "{" the nearest one.
    EXPECT_EQ(Search().find(R"({"files": [{"meta": {"k": 1}, "name": "a"}]})", "a"),
              R"({"k": 1}, "name": "a"})");

    Search noOpen;
    EXPECT_EQ(noOpen.find(R"({"files": ["name": "a"}]})", "a"), "");
    EXPECT_EQ(noOpen.last(), "DEBUG Could not find opening brace for file object");

    Search noClose;
    EXPECT_EQ(noClose.find(R"({"files": [{"name": "a"]})", "a"), "");
    EXPECT_EQ(noClose.last(), "DEBUG Could not find closing brace for file object");
}

TEST(ManifestSearch, WithoutSinkStillSearchesAndDumpsOnce) {
    bool dumped = false;
    EXPECT_EQ(ManifestText::findFileObject(std::string(R"({"files": [{"name": "a"}]})"), std::string("a"),
                                           nullptr, dumped),
              R"({"name": "a"})");
    EXPECT_TRUE(dumped);
}

TEST(ManifestSearch, ProcessLookupWritesToTheProgramLogAndDumpsOncePerProcess) {
    const std::string logPath = vesk::updater::logger().path();
    const size_t before = vesk::test::readFileBytes(logPath).size();
    const std::string text = R"({"files": [{"name": "first.marker"}, {"name": "second.marker"}]})";
    EXPECT_EQ(ManifestText::findFileObject(text, "first.marker"), R"({"name": "first.marker"})");
    EXPECT_EQ(ManifestText::findFileObject(text, "second.marker"), R"({"name": "second.marker"})");
    const std::string written = vesk::test::readFileBytes(logPath).substr(before);

    EXPECT_NE(written.find("[DEBUG] [] Searching for file: first.marker\r\n"), std::string::npos);
    EXPECT_NE(written.find("[DEBUG] [] Searching for file: second.marker\r\n"), std::string::npos);
    const std::string dumpHeader = "[INFO] [] === FULL FILES ARRAY DUMP (first time only) ===\r\n";
    const size_t firstDump = written.find(dumpHeader);
    ASSERT_NE(firstDump, std::string::npos);
    EXPECT_EQ(written.find(dumpHeader, firstDump + 1), std::string::npos);
    EXPECT_NE(written.find("[INFO] [] Files array content: " + text.substr(11, text.size() - 12) + "\r\n"),
              std::string::npos);
}

// Texts with tens of thousands of "files" keys: every key is still measured and logged, in text order, and
// the search stays linear (the keys below took minutes when each array was measured on its own).
TEST(ManifestSearch, ManyFilesKeysAreMeasuredInOnePass) {
    const std::string list = "[" + entry("a.dll") + ", " + entry("Updater.exe") + "]";
    std::string keys = R"({"manifest": {"version": "1", "x": {)";
    std::vector<size_t> keyOffsets;
    for (int i = 0; i < 50000; ++i) {
        keys += i ? ", " : "";
        keyOffsets.push_back(keys.size());
        keys += "\"files\": 0";
    }
    keys += "}, \"files\": " + list;
    keyOffsets.push_back(keys.size() - list.size() - 9);
    keys += ", \"pad\": \"" + std::string((1 << 20) - keys.size(), ' ') + "\"}}";

    // Nested lists: key i's array closes after all the deeper ones.
    const int depth = 20000;
    std::string nested;
    for (int i = 0; i < depth; ++i) {
        nested += "{\"files\": [";
    }
    nested += entry("Updater.exe");
    for (int i = 0; i < depth; ++i) {
        nested += "]}";
    }

    struct Case {
        const std::string& text;
        std::function<std::string(size_t)> line; // the measuring line of occurrence i
        size_t count;
        std::string chosen;
    };
    const size_t listSpan = list.size() - 1;
    const size_t innerSpan = entry("Updater.exe").size() + 1;
    const Case cases[] = {
        {keys,
         [&](size_t i) {
             return "DEBUG Files array at pos " + std::to_string(keyOffsets[i]) +
                    " has size: " + std::to_string(listSpan) + " bytes";
         },
         keyOffsets.size(),
         // Every key has the same (real) list after it: the first wins the tie.
         "DEBUG Using files array at position " + std::to_string(keyOffsets[0]) +
             " (size: " + std::to_string(listSpan) + " bytes)"},
        {nested,
         [&](size_t i) {
             return "DEBUG Files array at pos " + std::to_string(i * 11 + 1) +
                    " has size: " + std::to_string(innerSpan + (depth - 1 - i) * 13) + " bytes";
         },
         static_cast<size_t>(depth),
         "DEBUG Using files array at position 1 (size: " + std::to_string(innerSpan + (depth - 1) * 13) +
             " bytes)"},
    };
    for (const Case& c : cases) {
        Search search;
        const std::string found = search.find(c.text, "Updater.exe");
        EXPECT_EQ(found, entry("Updater.exe"));
        ASSERT_GE(search.lines.size(), c.count + 2);
        EXPECT_EQ(search.lines[1], "DEBUG Found " + std::to_string(c.count) + " 'files' arrays");
        for (size_t i = 0; i < c.count; ++i) {
            ASSERT_EQ(search.lines[2 + i], c.line(i)) << i;
        }
        EXPECT_EQ(search.lines[2 + c.count], c.chosen);
    }
}

// The index the release tool looks many names up with gives findFileObject's results and lines.
TEST(ManifestSearch, FilesIndexAnswersLikeTheSearch) {
    const std::string texts[] = {
        R"({"files":[{"name":"a.exe"}]})",
        R"({"extras": {"files": [{"name": "a"}]}, "files": [{"name": "b"}, {"name":"a", "v": 2}]})",
        R"({"files": [{"name":"d", "v": 1}, {"name":  "d", "v": 2}, {"name": "d", "v": 3}, {"name":   "e"}]})",
        R"({"files": [{"name": "a", "meta": {"k": 1}, "size": 2}, {"meta": {"k": 1}, "name": "b"}]})",
        R"({"files": ["name": "a"}, {"name": "b"]})",
        R"({"files": [{"name": "a"b", "x": "\"name\": \"c\""}, {"name": "VESK_Updater.exe"}]})",
        R"({"files": [{"name": "a"}, {"name": "b"})",
        R"([{"files": 1, "files": 2}])",
        "{}",
    };
    for (const std::string& text : texts) {
        const vesk::updater::ManifestFilesIndex index(text);
        for (const char* name : {"a", "b", "c", "d", "e", "a\"b", "Updater.exe", "VESK_Updater.exe", ""}) {
            Search search;
            search.dumped = true;
            const std::string expected = search.find(text, name);
            std::vector<std::string> lines = {std::string("DEBUG Searching for file: ") + name};
            for (const auto& [level, message] : index.arrayLines()) {
                lines.push_back(level + " " + message);
            }
            const std::string found =
                index.find(name, [&](const std::string& level, const std::string& message) {
                    lines.push_back(level + " " + message);
                });
            EXPECT_EQ(found, expected) << text << " / " << name;
            EXPECT_EQ(lines, search.lines) << text << " / " << name;
        }
    }
}
