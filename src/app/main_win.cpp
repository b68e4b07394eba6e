#include "core/logger.h"

#include <windows.h>

// Placeholder entry point until the startup sequence lands.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    vesk::updater::logger().info("=== VESK_Updater.exe Starting ===");
    return 0;
}
