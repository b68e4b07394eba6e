#include "app/command_line.h"
#include "app/entry_routine_win.h"
#include "core/wide_text.h"

#include <windows.h>

// The program's entry point. The instance handle and show mode are not needed: the window takes the module
// handle itself and is always shown normally. The command line is taken in UTF-16 and held as UTF-8: the
// narrow one WinMain receives is in the code page and loses what the code page cannot write.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const wchar_t* const full = ::GetCommandLineW();
    const std::string commandLine =
        vesk::updater::narrow(vesk::updater::argumentsAfterProgramName(full ? full : L""));
    return vesk::updater::runEntryRoutine(commandLine, vesk::updater::systemEntryEnvironment());
}
