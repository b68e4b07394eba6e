#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk::updater {

// The options this program understands. Matching is exact and case-sensitive.
inline constexpr const char* kOptionRestartStart = "--restart-start";
inline constexpr const char* kOptionProcessId = "-pid";
inline constexpr const char* kOptionRestartDone = "--restart-done";
inline constexpr const char* kOptionChannelShort = "-c";
inline constexpr const char* kOptionChannelLong = "--channel";
inline constexpr const char* kOptionProcessSelfUpdate = "--process-self-update";

// Element 0 of the argument list handed to the elevated relaunch; it is never passed on.
inline constexpr const char* kRelaunchProgramName = "VESK_Updater.exe";

// What follows the program name in a full command line, as WinMain hands it over: the name ends at its
// closing quote when it starts with one and at the first blank otherwise; the blanks after it are skipped.
std::wstring argumentsAfterProgramName(const std::wstring& commandLine);

// Splits a command line into words by stream extraction: any run of white space separates words and
// quotes have no meaning ("C:\My Files" becomes two words, quotes included).
std::vector<std::string> tokenizeCommandLine(const std::string& commandLine);

// The word after the first "-c" / "--channel" that has one. A following word that starts with "-" gives ""
// (and no later "-c" is looked at); no such pair gives "".
std::string parseChannelArgument(const std::vector<std::string>& tokens);

// A "-pid" value: the leading decimal digits as an unsigned 32-bit number. 0 when the word does not start
// with a digit or the number does not fit in 32 bits, so a malformed value never names some other process.
std::uint32_t parseProcessId(const std::string& token);

// What the words say about restart-start mode.
struct RestartStartRequest {
    // "--restart-start" occurred.
    bool requested = false;
    // The value after the last "-pid" that had a following word; 0 when none.
    std::uint32_t processId = 0;

    // Restart-start runs only with both the option and a process id above 0.
    bool chosen() const { return requested && processId > 0; }
};
RestartStartRequest findRestartStart(const std::vector<std::string>& tokens);

// How many words equal option.
std::size_t countToken(const std::vector<std::string>& tokens, const std::string& option);

// The argument list for the elevated relaunch at start-up: the program name placeholder, then the words.
std::vector<std::string> buildRelaunchArguments(const std::vector<std::string>& tokens);

// The argument list for the elevated relaunch of the self-update mode: as buildRelaunchArguments, with
// "--process-self-update" appended when no element is that option yet.
std::vector<std::string> buildSelfUpdateRelaunchArguments(const std::vector<std::string>& tokens);

} // namespace vesk::updater
