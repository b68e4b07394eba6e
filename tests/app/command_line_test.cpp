#include "app/command_line.h"

#include <gtest/gtest.h>

#include <limits>

using namespace vesk::updater;
using Tokens = std::vector<std::string>;

TEST(Tokenize, WhiteSpaceSeparatesAndQuotesMeanNothing) {
    EXPECT_EQ(tokenizeCommandLine(""), Tokens{});
    EXPECT_EQ(tokenizeCommandLine(" \t \r\n "), Tokens{});
    EXPECT_EQ(tokenizeCommandLine("  -c\tbeta \r\n--restart-done  "),
              (Tokens{"-c", "beta", "--restart-done"}));
    EXPECT_EQ(tokenizeCommandLine("--channel \"my channel\""), (Tokens{"--channel", "\"my", "channel\""}));
}

TEST(ChannelArgument, ShortAndLongFormsAgree) {
    EXPECT_EQ(parseChannelArgument({"-c", "beta"}), "beta");
    EXPECT_EQ(parseChannelArgument({"--channel", "beta"}), "beta");
    EXPECT_EQ(parseChannelArgument({"--restart-done", "-c", "nightly", "--process-self-update"}), "nightly");
    EXPECT_EQ(parseChannelArgument({}), "");
    EXPECT_EQ(parseChannelArgument({"beta"}), "");
}

TEST(ChannelArgument, OptionLikeValueGivesDefaultAndStopsTheSearch) {
    EXPECT_EQ(parseChannelArgument({"-c", "-beta"}), "");
    EXPECT_EQ(parseChannelArgument({"-c", "--restart-done", "-c", "beta"}), "");
    EXPECT_EQ(parseChannelArgument({"-c", "-c", "beta"}), "");
}

TEST(ChannelArgument, TrailingOptionIsSkippedAndFirstPairWins) {
    EXPECT_EQ(parseChannelArgument({"-c"}), "");
    EXPECT_EQ(parseChannelArgument({"--restart-done", "--channel"}), "");
    EXPECT_EQ(parseChannelArgument({"-c", "beta", "--channel", "gamma"}), "beta");
    // Exact, case-sensitive matching.
    EXPECT_EQ(parseChannelArgument({"-C", "beta"}), "");
    EXPECT_EQ(parseChannelArgument({"--Channel", "beta"}), "");
    EXPECT_EQ(parseChannelArgument({"--channel=beta"}), "");
}

TEST(ProcessId, LeadingDecimalDigitsOnly) {
    EXPECT_EQ(parseProcessId("1234"), 1234u);
    EXPECT_EQ(parseProcessId("0042"), 42u);
    EXPECT_EQ(parseProcessId("42abc"), 42u);
    EXPECT_EQ(parseProcessId("12 34"), 12u);
    EXPECT_EQ(parseProcessId("0"), 0u);
    EXPECT_EQ(parseProcessId("0x1F"), 0u);
    EXPECT_EQ(parseProcessId(""), 0u);
    EXPECT_EQ(parseProcessId("abc"), 0u);
    EXPECT_EQ(parseProcessId("-5"), 0u);
    EXPECT_EQ(parseProcessId("+5"), 0u);
    EXPECT_EQ(parseProcessId(" 5"), 0u);
}

TEST(ProcessId, ValuesBeyond32BitsAreRejectedNotWrapped) {
    EXPECT_EQ(parseProcessId("4294967295"), std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(parseProcessId("4294967296"), 0u); // would wrap to 0
    EXPECT_EQ(parseProcessId("4294967297"), 0u); // would wrap to 1, another process
    EXPECT_EQ(parseProcessId("99999999999999999999999999"), 0u);
    EXPECT_EQ(parseProcessId("00000000000000000000000017"), 17u);
}

TEST(RestartStart, NeedsBothTheOptionAndAPositiveProcessId) {
    EXPECT_FALSE(findRestartStart({}).chosen());
    EXPECT_FALSE(findRestartStart({"--restart-start"}).chosen());
    EXPECT_FALSE(findRestartStart({"--restart-start", "-pid", "0"}).chosen());
    EXPECT_FALSE(findRestartStart({"--restart-start", "-pid", "abc"}).chosen());
    EXPECT_FALSE(findRestartStart({"--restart-start", "-pid"}).chosen());
    EXPECT_FALSE(findRestartStart({"-pid", "1234"}).chosen());
    EXPECT_FALSE(findRestartStart({"--Restart-Start", "-pid", "1234"}).chosen());

    const RestartStartRequest request = findRestartStart({"-c", "beta", "-pid", "1234", "--restart-start"});
    EXPECT_TRUE(request.chosen());
    EXPECT_EQ(request.processId, 1234u);
}

TEST(RestartStart, LastProcessIdCounts) {
    EXPECT_EQ(findRestartStart({"--restart-start", "-pid", "5", "-pid", "9"}).processId, 9u);
    // A later malformed value replaces an earlier good one.
    EXPECT_FALSE(findRestartStart({"--restart-start", "-pid", "5", "-pid", "x"}).chosen());
    // A final "-pid" without a value changes nothing.
    EXPECT_EQ(findRestartStart({"--restart-start", "-pid", "7", "-pid"}).processId, 7u);
}

TEST(Modes, OptionsAreCountedExactly) {
    const Tokens tokens{"--process-self-update", "-c", "beta", "--process-self-update", "--restart-done"};
    EXPECT_EQ(countToken(tokens, kOptionProcessSelfUpdate), 2u);
    EXPECT_EQ(countToken(tokens, kOptionRestartDone), 1u);
    EXPECT_EQ(countToken({"--restart-done-now", "--RESTART-DONE"}, kOptionRestartDone), 0u);
}

TEST(Modes, RelaunchArgumentsStartWithThePlaceholderName) {
    EXPECT_EQ(buildRelaunchArguments({}), Tokens{"VESK_Updater.exe"});
    EXPECT_EQ(buildRelaunchArguments({"-c", "beta"}), (Tokens{"VESK_Updater.exe", "-c", "beta"}));

    EXPECT_EQ(buildSelfUpdateRelaunchArguments({"-c", "beta"}),
              (Tokens{"VESK_Updater.exe", "-c", "beta", "--process-self-update"}));
    EXPECT_EQ(buildSelfUpdateRelaunchArguments({"--process-self-update", "--process-self-update"}),
              (Tokens{"VESK_Updater.exe", "--process-self-update", "--process-self-update"}));
}
