#include "selfupdate/pending_self_update_win.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return vesk::updater::processPendingSelfUpdate();
}
