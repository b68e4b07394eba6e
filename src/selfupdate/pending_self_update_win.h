#pragma once

#include "selfupdate/pending_self_update.h"

namespace vesk::updater {

// Carries out the deferred self-update recorded under HKLM "SOFTWARE\VESK\Updater" in a console window of
// its own, and returns the process exit code: 0 when there was nothing to do or every file was put in
// place, 1 otherwise.
int processPendingSelfUpdate();

// The same, writing its console lines to the given console.
int processPendingSelfUpdate(IPendingUpdateConsole& console);

// True when the process's standard input handle is an interactive console.
bool standardInputIsConsole();

} // namespace vesk::updater
