#include "transfer/download_progress.h"

#include <utility>

namespace vesk::updater {

namespace {
// Per thread: the start-up check's downloads are watched, the update thread's are not.
thread_local DownloadProgressObserver currentObserver;
} // namespace

ScopedDownloadProgress::ScopedDownloadProgress(DownloadProgressObserver observer)
    : previous_(std::exchange(currentObserver, std::move(observer))) {}

ScopedDownloadProgress::~ScopedDownloadProgress() {
    currentObserver = std::move(previous_);
}

void reportDownloadProgress(std::uint64_t received, std::optional<std::uint64_t> announced) {
    if (currentObserver) {
        currentObserver(received, announced);
    }
}

} // namespace vesk::updater
