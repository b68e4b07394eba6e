// A command line as the program reads it at start-up and passes it on when it relaunches itself.
#include "app/command_line.h"
#include "fuzz_support.h"

using namespace vesk::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> tokens = tokenizeCommandLine(std::string(asText(data, size)));
    for (const std::string& token : tokens) {
        FUZZ_REQUIRE(!token.empty() && token.find_first_of(" \t\n\v\f\r") == std::string::npos);
    }
    const std::string channel = parseChannelArgument(tokens);
    FUZZ_REQUIRE(channel.empty() || channel.front() != '-');

    const RestartStartRequest restart = findRestartStart(tokens);
    FUZZ_REQUIRE(restart.requested == (countToken(tokens, kOptionRestartStart) > 0));
    for (const std::string& token : tokens) {
        const std::uint32_t processId = parseProcessId(token);
        FUZZ_REQUIRE(processId == 0 || (token.front() >= '0' && token.front() <= '9'));
    }

    const std::vector<std::string> relaunch = buildSelfUpdateRelaunchArguments(tokens);
    FUZZ_REQUIRE(relaunch.front() == kRelaunchProgramName && relaunch.size() >= tokens.size() + 1);
    FUZZ_REQUIRE(countToken(relaunch, kOptionProcessSelfUpdate) >= 1);
    return 0;
}
