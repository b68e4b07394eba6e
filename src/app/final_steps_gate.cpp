#include "app/final_steps_gate.h"

namespace vesk::updater {

bool FinalStepsGate::beginFinalSteps() {
    std::lock_guard<std::mutex> lock(mutex);
    if (state == State::Abandoned) {
        return false;
    }
    if (state == State::Running) {
        state = State::Finishing;
    }
    return true;
}

void FinalStepsGate::finished() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        state = State::Finished;
    }
    changed.notify_all();
}

FinalStepsGate::Outcome FinalStepsGate::waitAfterWindowClosed(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    if (state == State::Running || state == State::Abandoned) {
        state = State::Abandoned;
        return Outcome::Abandoned;
    }
    if (!changed.wait_for(lock, limit, [this] { return state == State::Finished; })) {
        return Outcome::TimedOut;
    }
    return Outcome::Finished;
}

FinalStepsGate& updateThreadGate() {
    static FinalStepsGate* const gate = new FinalStepsGate();
    return *gate;
}

} // namespace vesk::updater
