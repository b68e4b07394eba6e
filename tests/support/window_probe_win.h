#pragma once

#include <windows.h>

#include <string>

namespace vesk::test {

// The first visible top-level window of the given class that belongs to the process; null when none.
HWND findProcessWindow(DWORD processId, const std::wstring& className);

// The window's text as GetWindowTextW returns it.
std::wstring windowText(HWND window);

// The position of a progress bar (PBM_GETPOS).
int progressPosition(HWND progressBar);

} // namespace vesk::test
