#pragma once

#include "ui/progress_callback.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vesk::test {

// Records every report as one text ("status:...", "progress:N", "error:...", "complete:true|false"), in
// order.
class RecordingCallback : public vesk::updater::IProgressCallback {
public:
    void onProgress(int percent) override { record("progress:" + std::to_string(percent)); }
    void onStatus(const std::string& status) override { record("status:" + status); }
    void onError(const std::string& error) override { record("error:" + error); }
    void onComplete(bool success) override { record(success ? "complete:true" : "complete:false"); }

    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.clear();
    }

    // Runs after each report is recorded (outside the lock), e.g. to react to a status.
    std::function<void(const std::string&)> afterEach;

private:
    void record(const std::string& event) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.push_back(event);
        }
        if (afterEach) {
            afterEach(event);
        }
    }

    mutable std::mutex mutex;
    std::vector<std::string> recorded;
};

} // namespace vesk::test
