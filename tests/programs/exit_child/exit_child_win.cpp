// Usage: vesk_exit_child.exe <exit code> [<record file> [more arguments...]]
// Writes every argument after the program name, one per line, into the record file, then exits with the code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc < 2) {
        return 100;
    }
    if (__argc >= 3) {
        if (FILE* record = std::fopen(__argv[2], "wb")) {
            for (int index = 1; index < __argc; ++index) {
                std::fprintf(record, "%s\n", __argv[index]);
            }
            std::fclose(record);
        }
    }
    return static_cast<int>(std::strtoul(__argv[1], nullptr, 10));
}
