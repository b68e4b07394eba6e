#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace vesk::updater {

// Told, on the downloading thread, how many bytes of the body have arrived and how many the server
// announced (nothing when it did not say).
using DownloadProgressObserver =
    std::function<void(std::uint64_t received, std::optional<std::uint64_t> announced)>;

// Lets the observer watch every download made on the calling thread while the object lives; the previous
// observer of the thread comes back afterwards.
class ScopedDownloadProgress {
public:
    explicit ScopedDownloadProgress(DownloadProgressObserver observer);
    ~ScopedDownloadProgress();
    ScopedDownloadProgress(const ScopedDownloadProgress&) = delete;
    ScopedDownloadProgress& operator=(const ScopedDownloadProgress&) = delete;

private:
    DownloadProgressObserver previous_;
};

// Called by the download as bytes arrive; does nothing when the thread has no observer.
void reportDownloadProgress(std::uint64_t received, std::optional<std::uint64_t> announced);

} // namespace vesk::updater
