#pragma once

#include <windows.h>

#include <string>

namespace vesk::test {

// The first visible top-level window of the given class that belongs to the process; null when none.
HWND findProcessWindow(DWORD processId, const std::wstring& className);

// The window's text as GetWindowTextW returns it.
std::wstring windowText(HWND window);
// A window text with each UTF-16 unit cut to its low byte: the texts the tests compare are plain ASCII.
std::string narrow(const std::wstring& text);

// The position of a progress bar (PBM_GETPOS).
int progressPosition(HWND progressBar);

} // namespace vesk::test
