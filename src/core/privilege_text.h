#pragma once

#include <cstdint>
#include <string>

namespace vesk::updater {

// The parameter string for relaunching the program: argv[1] .. argv[argc - 1] joined by single spaces, an
// argument that contains a space wrapped in double quotes. Nothing else is escaped. Null entries count as
// empty arguments.
std::string joinElevationParameters(int argc, const char* const argv[]);

// The text without any line feeds or carriage returns at its end.
std::string trimTrailingLineBreaks(std::string text);

// "Unknown error (code: N)" with N as an unsigned decimal number.
std::string unknownErrorMessage(std::uint32_t code);

} // namespace vesk::updater
