#include "app/current_channel.h"

namespace vesk::updater {

std::string currentChannel;

} // namespace vesk::updater
