#pragma once

#include "selfupdate/pending_safety.h"
#include "selfupdate/pending_self_update.h"

namespace vesk::updater {

// Carries out the deferred self-update recorded under HKLM "SOFTWARE\VESK\Updater" in a console window of
// its own, and returns the process exit code: 0 when there was nothing to do or every file was put in
// place, 1 otherwise.
int processPendingSelfUpdate();

// The same, writing its console lines to the given console.
int processPendingSelfUpdate(IPendingUpdateConsole& console);

// The same, for a program with these settings.
int processPendingSelfUpdate(const PendingRunSettings& settings);
int processPendingSelfUpdate(IPendingUpdateConsole& console, const PendingRunSettings& settings);

// The settings of the running program: its trusted key and the folder it is installed in.
PendingRunSettings pendingRunSettingsForThisProgram();

// True when the process's standard input handle is an interactive console.
bool standardInputIsConsole();

} // namespace vesk::updater
