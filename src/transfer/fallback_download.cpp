#include "transfer/fallback_download.h"

namespace vesk::updater {

std::string formatAttemptList(const std::vector<std::string>& attemptedUrls) {
    std::string text;
    for (const std::string& url : attemptedUrls) {
        text += "  - " + url + "\n";
    }
    return text;
}

} // namespace vesk::updater
