#pragma once

// The Windows side of "UTF-8 inside, UTF-16 at every Windows call": paths of any length, values the system
// reports in UTF-16, and text an older writer left in the system code page.

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vesk::updater {

// The UTF-16 path to hand to a …W call: a path of kLongPathFrom characters or more is made full and given
// the extended-length form, so it works past 260 characters; a shorter one is only converted.
std::wstring pathForWindows(const std::string& utf8Path);

// Whether the system can start a program at this path: CreateProcessW takes no program path past MAX_PATH,
// in any form.
bool canStartProgramAt(const std::string& utf8Path);

// The running program's full path; "" when the system cannot say.
std::string runningProgramPath();
// The folder of the running program, without a trailing backslash; "" when the system cannot say.
std::string runningProgramFolder();
// The temporary folder as GetTempPathW names it, or as TMP or TEMP name it when it is too long for that
// call; ending in a backslash; "" when there is none.
std::string temporaryFolder();

// Bytes in the system's ANSI code page as UTF-8.
std::string codePageToUtf8(std::string_view bytes);

// A registry value as UTF-8: string types as written, any other type's bytes as text (UTF-8 when they are,
// the system code page otherwise), up to the first NUL. Nothing when the key or value cannot be read or the
// text would be maxBytes bytes or longer.
std::optional<std::string> readRegistryText(HKEY root, const std::string& subkey, const std::string& value,
                                            std::size_t maxBytes);

// Creates a new, empty file "<prefix><hex>.tmp" in folder that no other file had, as GetTempFileNameW does,
// but for a folder of any length. The full path, or nothing with the Windows error in error.
std::optional<std::string> createTemporaryFile(const std::string& folder, const std::string& prefix,
                                               unsigned long& error);

// The log line for a temporary file that could not be made: which folder and why.
std::string temporaryFileFailedMessage(const std::string& folder, unsigned long error);

} // namespace vesk::updater
