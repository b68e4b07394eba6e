#include "selfupdate/preflight_observer.h"

#include <algorithm>

namespace vesk::updater {

int downloadPercent(std::uint64_t received, std::optional<std::uint64_t> total) {
    if (!total || *total == 0) {
        return 0;
    }
    constexpr std::uint64_t kFull = 100;
    const std::uint64_t done = std::min(received, *total);
    // Divided first where the product could pass 64 bits; the bar has 100 steps, so precision is no matter.
    const std::uint64_t percent = *total > UINT64_MAX / kFull ? done / (*total / kFull) : done * kFull / *total;
    return static_cast<int>(std::min(percent, kFull));
}

} // namespace vesk::updater
