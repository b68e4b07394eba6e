#include "core/run_folder.h"

#include "core/wide_text.h"

#include <windows.h>

#include <mutex>
#include <vector>

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

std::string systemTemporaryFolder() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return narrow(std::wstring_view(buffer.data(), length));
        }
        buffer.resize(length + 1);
    }
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
    return systemTemporaryFolder();
}

void setRunTemporaryFolder(const std::string& folder) {
    RunFolder& state = runFolder();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.path = folder;
}

} // namespace vesk::updater
