#include "transfer/http_download.h"

#include "core/wide_text.h"

namespace vesk::updater {

std::string downloadUserAgent(const std::string& ownHash) {
    std::string agent = "Downloader/1.0";
    if (!ownHash.empty()) {
        agent += " (hash:" + ownHash + ")";
    }
    return agent;
}

std::wstring widenUrl(const std::string& url) {
    return widen(url);
}

} // namespace vesk::updater
