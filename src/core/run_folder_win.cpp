#include "core/run_folder.h"

#include "core/windows_text_win.h"

#include <windows.h>

#include <mutex>

namespace vesk::updater {

namespace {

struct RunFolder {
    std::mutex mutex;
    std::string path;
};

// Never destroyed: a thread still downloading while the process exits may ask for it.
RunFolder& runFolder() {
    static RunFolder* const instance = new RunFolder();
    return *instance;
}

} // namespace

std::string runTemporaryFolder() {
    {
        RunFolder& folder = runFolder();
        std::lock_guard<std::mutex> guard(folder.mutex);
        if (!folder.path.empty()) {
            return folder.path;
        }
    }
    return temporaryFolder();
}

void setRunTemporaryFolder(const std::string& folder) {
    RunFolder& state = runFolder();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.path = folder;
}

} // namespace vesk::updater
