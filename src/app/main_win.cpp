#include "app/entry_routine_win.h"

#include <windows.h>

// The program's entry point. The instance handle and show mode are not needed: the window takes the module
// handle itself and is always shown normally.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    return vesk::updater::runEntryRoutine(commandLine ? commandLine : "",
                                          vesk::updater::systemEntryEnvironment());
}
