#include "core/current_channel.h"

namespace vesk::updater {

// Never destroyed on purpose (see the header).
std::string& currentChannel = *new std::string();

std::string channelForLog(const std::string& channel) {
    return channel.empty() ? "stable" : channel;
}

} // namespace vesk::updater
