#include "selfupdate/preflight_observer.h"

namespace vesk::updater {

int downloadPercent(std::uint64_t received, std::optional<std::uint64_t> total) {
    if (!total || *total == 0) {
        return 0;
    }
    if (received >= *total) {
        return 100;
    }
    // Divided first where the product could pass 64 bits; the bar has 100 steps, so precision is no matter.
    const std::uint64_t percent =
        *total > UINT64_MAX / 100 ? received / (*total / 100) : received * 100 / *total;
    return static_cast<int>(percent > 100 ? 100 : percent);
}

} // namespace vesk::updater
