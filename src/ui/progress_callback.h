#pragma once

#include <string>

namespace vesk::updater {

// How the update work reports to whatever shows it, without knowing about windows.
class IProgressCallback {
public:
    virtual ~IProgressCallback() = default;
    // Overall progress, 0 to 100.
    virtual void onProgress(int percent) = 0;
    // A human-readable status line.
    virtual void onStatus(const std::string& status) = 0;
    // A human-readable error description, without any prefix.
    virtual void onError(const std::string& error) = 0;
    // The update has ended, successfully or not.
    virtual void onComplete(bool success) = 0;
};

} // namespace vesk::updater
