#include "selfupdate/pending_self_update_win.h"

#include <windows.h>

#include <cstdlib>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    using namespace vesk::updater;
    PendingRunSettings settings = pendingRunSettingsForThisProgram();
    // VESK_PENDING_STOP_AT="step" or "step:N": the process kills itself the Nth time (the first by default)
    // the run reaches that step, as a power cut or the task manager would end it there.
    if (const char* stopAt = std::getenv("VESK_PENDING_STOP_AT")) {
        const std::string text = stopAt;
        const size_t colon = text.find(':');
        settings.atStep = [step = text.substr(0, colon),
                           left = colon == std::string::npos ? 1 : std::atoi(text.c_str() + colon + 1)](
                              PendingStep reached) mutable {
            if (step == pendingStepName(reached) && --left == 0) {
                ::TerminateProcess(::GetCurrentProcess(), 99);
            }
        };
    }
    return processPendingSelfUpdate(settings);
}
