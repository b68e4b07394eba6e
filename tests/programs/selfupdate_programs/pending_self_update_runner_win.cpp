#include "selfupdate/pending_self_update_win.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

// VESK_PENDING_STOP_AT="step" or "step:N" makes the process kill itself at the Nth time (first by default)
// the run reaches that step, the way a power cut or a task manager would end it there.
struct StopPoint {
    std::string step;
    int occurrence = 1;
};

StopPoint stopPointFromEnvironment() {
    StopPoint point;
    const char* text = std::getenv("VESK_PENDING_STOP_AT");
    if (text == nullptr) {
        return point;
    }
    point.step = text;
    if (const size_t colon = point.step.find(':'); colon != std::string::npos) {
        point.occurrence = std::atoi(point.step.c_str() + colon + 1);
        point.step.resize(colon);
    }
    return point;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    using namespace vesk::updater;
    PendingRunSettings settings = pendingRunSettingsForThisProgram();
    const StopPoint stop = stopPointFromEnvironment();
    if (!stop.step.empty()) {
        settings.atStep = [stop, seen = 0](PendingStep step) mutable {
            if (stop.step == pendingStepName(step) && ++seen == stop.occurrence) {
                ::TerminateProcess(::GetCurrentProcess(), 99);
            }
        };
    }
    return processPendingSelfUpdate(settings);
}
