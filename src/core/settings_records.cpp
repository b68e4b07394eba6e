#include "core/settings_records.h"

namespace vesk::updater {

std::string trustedReleaseValueName(const std::string& channel) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name = "LastTrustedRelease.";
    for (const char c : channel.empty() ? std::string("stable") : channel) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
            name += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            name += '%';
            name += kHex[byte >> 4];
            name += kHex[byte & 0xf];
        }
        if (name.size() > 200) {
            return {};
        }
    }
    return name;
}

} // namespace vesk::updater
