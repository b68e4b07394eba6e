#include "manifest/manifest_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string value(const std::string& text, const std::string& key) {
    return vesk::updater::ManifestText::extractValue(text, key);
}

} // namespace

TEST(ManifestValue, NumbersAreTheirDigitRun) {
    EXPECT_EQ(value(R"({"size": 512})", "size"), "512");
    EXPECT_EQ(value(R"({"size": "512"})", "size"), "512");
    EXPECT_EQ(value(R"({"size":-12.5,"x":1})", "size"), "-12.5");
    EXPECT_EQ(value(R"({"size": 1.5e3})", "size"), "1.5");
    EXPECT_EQ(value(R"({"size": +7})", "size"), "");
    EXPECT_EQ(value(R"({"size": 7)", "size"), "7"); // runs to the end of the text
    for (const char* literal : {"true", "false", "null"}) {
        EXPECT_EQ(value(std::string(R"({"flag": )") + literal + "}", "flag"), "") << literal;
    }
}

TEST(ManifestValue, OnlyBlanksAndTabsMayFollowTheColon) {
    EXPECT_EQ(value("{\"v\": \t \"x\"}", "v"), "x");
    EXPECT_EQ(value("{\"v\":\n\"x\"}", "v"), "");
    EXPECT_EQ(value("{\"v\": \r\n 5}", "v"), "");
    EXPECT_EQ(value("{\"v\":   ", "v"), "");
    EXPECT_EQ(value("{\"v\":", "v"), "");
}

TEST(ManifestValue, KeyMatchesOnlyTheExactQuotedKeyBeforeAColon) {
    EXPECT_EQ(value(R"({"size" : 5})", "size"), "");
    EXPECT_EQ(value(R"({"filename": "a", "name": "b"})", "name"), "b");
    EXPECT_EQ(value(R"({"Name": "a"})", "name"), "");
    // The first textual occurrence wins, even inside a nested object.
    EXPECT_EQ(value(R"({"inner": {"version": "1.0"}, "version": "2.0"})", "version"), "1.0");
    EXPECT_EQ(value(R"({"a": "x"})", "missing"), "");
    // A key used as a string value is not a key.
    EXPECT_EQ(value(R"({"note": "url", "url": "u"})", "url"), "u");
}

TEST(ManifestValue, ObjectsAndArraysAreReturnedWhole) {
    EXPECT_EQ(value(R"({"manifest": {"a": {"b": 1}, "c": 2}, "signature": {}})", "manifest"),
              R"({"a": {"b": 1}, "c": 2})");
    EXPECT_EQ(value(R"({"files": [[1, 2], [3]], "x": 0})", "files"), "[[1, 2], [3]]");
    // Braces in strings count like any other.
    EXPECT_EQ(value(R"({"o": {"s": "}"}, "t": 1})", "o"), R"({"s": "})");
    // Never closed: the rest of the text.
    EXPECT_EQ(value(R"({"o": {"a": {"b": 1})", "o"), R"({"a": {"b": 1})");
    EXPECT_EQ(value(R"({"a": [1, [2])", "a"), "[1, [2]");
}

TEST(ManifestValue, StringEscapesFollowTheTable) {
    EXPECT_EQ(value(R"({"p": "say \"hi\" C:\\dir \u00e9"})", "p"), "say \"hi\" C:\\dir \\u00e9");
    EXPECT_EQ(value(R"({"p": "a\/b\nc\rd\te"})", "p"), "a/b\nc\rd\te");
    EXPECT_EQ(value(R"({"p": "\b\f\x"})", "p"), "\\b\\f\\x");
    EXPECT_EQ(value(R"({"p": ""})", "p"), "");
    // Never closed: everything decoded to the end; a final lone backslash stays one backslash.
    EXPECT_EQ(value(R"({"p": "open \"x\")", "p"), "open \"x\"");
    EXPECT_EQ(value(R"({"p": "end\)", "p"), "end\\");
    EXPECT_EQ(value(R"({"p": "end\\)", "p"), "end\\");
}

TEST(ManifestValue, TextMayHoldAnyBytes) {
    // An embedded NUL and bytes above 127 do not end or disturb the search.
    const char raw[] = "{\"a\": \"x\0y\", \"b\": \"\xC3\xA9\xFF\", \"size\": 9}";
    const std::string text(raw, sizeof raw - 1);
    EXPECT_EQ(value(text, "size"), "9");
    EXPECT_EQ(value(text, "a"), std::string("x\0y", 3));
    EXPECT_EQ(value(text, "b"), "\xC3\xA9\xFF");
}
