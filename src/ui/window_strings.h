#pragma once

#include <string>
#include <vector>

namespace vesk::updater {

// Shows a narrow text in a window: each byte becomes one UTF-16 unit of the same value (bytes 0x80 to 0xFF
// as U+0080 to U+00FF), without any code-page conversion.
std::wstring widenBytes(const std::string& text);

// The folder part of a module path: everything before the last backslash, or the whole path without one.
std::wstring directoryOfModulePath(const std::wstring& modulePath);

// The icon files tried, in order, when the program's own icon resource cannot be loaded: the development
// tree relative to the executable, an "icon_image.ico" beside it, then a fixed development path.
std::vector<std::wstring> iconFileCandidates(const std::wstring& executableDirectory);

} // namespace vesk::updater
