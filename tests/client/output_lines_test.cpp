#include "client/output_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vesk::updater::kMaxOutputLineBytes;
using vesk::updater::OutputLineBuffer;
using Lines = std::vector<std::string>;

namespace {

// Feeds the pieces in order and returns every completed line, then the unterminated rest.
std::pair<Lines, std::string> split(const std::vector<std::string>& pieces) {
    OutputLineBuffer buffer;
    Lines all;
    for (const std::string& piece : pieces) {
        for (std::string& line : buffer.append(piece)) {
            all.push_back(std::move(line));
        }
    }
    return {all, buffer.takeRest()};
}

TEST(OutputLines, LineEndings) {
    EXPECT_EQ(split({"abc\r\n"}), std::make_pair(Lines{"abc"}, std::string()));
    EXPECT_EQ(split({"abc\n"}), std::make_pair(Lines{"abc"}, std::string()));
    // Only one carriage return before the line feed is dropped.
    EXPECT_EQ(split({"abc\r\r\n"}), std::make_pair(Lines{"abc\r"}, std::string()));
    // A lone carriage return does not end a line.
    EXPECT_EQ(split({"abc\rdef\n"}), std::make_pair(Lines{"abc\rdef"}, std::string()));
    EXPECT_EQ(split({"50%\r60%\r"}), std::make_pair(Lines{}, std::string("50%\r60%\r")));
    // Two line feeds in a row give an empty line each.
    EXPECT_EQ(split({"a\n\n\r\nb\n"}), std::make_pair(Lines{"a", "", "", "b"}, std::string()));
    EXPECT_EQ(split({"\n"}), std::make_pair(Lines{""}, std::string()));
}

TEST(OutputLines, RestWithoutLineFeedIsKeptExactly) {
    EXPECT_EQ(split({"first\r\nlast line"}), std::make_pair(Lines{"first"}, std::string("last line")));
    EXPECT_EQ(split({"last\r"}), std::make_pair(Lines{}, std::string("last\r")));
    OutputLineBuffer buffer;
    EXPECT_FALSE(buffer.hasRest());
    buffer.append("x");
    EXPECT_TRUE(buffer.hasRest());
    EXPECT_EQ(buffer.takeRest(), "x");
    EXPECT_FALSE(buffer.hasRest());
    EXPECT_EQ(buffer.takeRest(), "");
}

TEST(OutputLines, PiecesSplitAnywhereGiveTheSameLines) {
    const std::string output = "VESK Update Client starting\r\nUpdated: a\\b.dll\r\n\r\nlone\rcr\r\r\n\nend";
    const Lines expectedLines{"VESK Update Client starting", "Updated: a\\b.dll", "", "lone\rcr\r", ""};
    // Every single cut position, and the output delivered one byte at a time.
    for (size_t cut = 0; cut <= output.size(); ++cut) {
        EXPECT_EQ(split({output.substr(0, cut), output.substr(cut)}),
                  std::make_pair(expectedLines, std::string("end")))
            << "cut at " << cut;
    }
    std::vector<std::string> bytes;
    for (char c : output) {
        bytes.emplace_back(1, c);
    }
    EXPECT_EQ(split(bytes), std::make_pair(expectedLines, std::string("end")));
}

TEST(OutputLines, CarriageReturnAtEndOfOnePieceAndLineFeedAtStartOfNext) {
    EXPECT_EQ(split({"abc\r", "\ndef\r", "\n"}), std::make_pair(Lines{"abc", "def"}, std::string()));
    EXPECT_EQ(split({"abc\r", "\r", "\n"}), std::make_pair(Lines{"abc\r"}, std::string()));
}

TEST(OutputLines, NulBytesAreDroppedWithoutLosingWhatFollows) {
    const std::string piece("ab\0c\r\nnext\0\n", 12);
    EXPECT_EQ(split({piece}), std::make_pair(Lines{"abc", "next"}, std::string()));
}

TEST(OutputLines, LongLineInManyPiecesAndManyLinesInOnePiece) {
    OutputLineBuffer buffer;
    const std::string block(1000, 'x');
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(buffer.append(block).empty());
    }
    // Of the two million bytes only the first 64 KiB were kept.
    EXPECT_EQ(buffer.takeRest().size(), kMaxOutputLineBytes);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(buffer.append(block).empty());
    }
    const Lines done = buffer.append("\r\n");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], std::string(kMaxOutputLineBytes, 'x'));

    std::string many;
    for (int i = 0; i < 10000; ++i) {
        many += "line " + std::to_string(i) + "\r\n";
    }
    const Lines lines = buffer.append(many);
    ASSERT_EQ(lines.size(), 10000u);
    EXPECT_EQ(lines.front(), "line 0");
    EXPECT_EQ(lines.back(), "line 9999");
    EXPECT_FALSE(buffer.hasRest());
}

TEST(OutputLines, LongLinesKeepTheirFirst64KiBWhicheverWayTheyArrive) {
    const size_t limit = kMaxOutputLineBytes;
    const std::string keptPart(limit, 'k');
    struct Case {
        std::string line; // without its line feed
        std::string expected;
    };
    const std::vector<Case> cases{
        {keptPart, keptPart},
        {keptPart + "dropped", keptPart},
        {keptPart + "\r", keptPart},                       // the carriage return of the line end is dropped
        {keptPart.substr(1) + "\r", keptPart.substr(1)},   // just fits: an ordinary line end
        {keptPart + std::string(1 << 20, '\r'), keptPart}, // a megabyte of carriage returns, no line feed
        {"ab" + std::string(100, '\0') + keptPart, "ab" + keptPart.substr(2)}, // dropped NULs take no room
    };
    for (const Case& c : cases) {
        const std::string output = c.line + "\nUpdated: next.dll\r\n";
        // Whole in one piece (handed on in place), in pieces of odd sizes, and with the line feed alone.
        std::vector<std::vector<std::string>> deliveries{{output}};
        std::vector<std::string> pieces;
        for (size_t at = 0; at < output.size(); at += 4099) {
            pieces.push_back(output.substr(at, 4099));
        }
        deliveries.push_back(pieces);
        deliveries.push_back({c.line, output.substr(c.line.size())});
        for (const auto& delivery : deliveries) {
            const auto [lines, rest] = split(delivery);
            ASSERT_EQ(lines.size(), 2u) << delivery.size() << " pieces, line of " << c.line.size();
            EXPECT_EQ(lines[0], c.expected) << delivery.size() << " pieces, line of " << c.line.size();
            EXPECT_EQ(lines[1], "Updated: next.dll");
            EXPECT_EQ(rest, "");
        }
    }
}

} // namespace
