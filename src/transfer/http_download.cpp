#include "transfer/http_download.h"

namespace vesk::updater {

std::string downloadUserAgent(const std::string& ownHash) {
    std::string agent = "Downloader/1.0";
    if (!ownHash.empty()) {
        agent += " (hash:" + ownHash + ")";
    }
    return agent;
}

std::wstring widenUrl(const std::string& url) {
    std::wstring wide;
    wide.reserve(url.size());
    for (const char byte : url) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
    }
    return wide;
}

} // namespace vesk::updater
