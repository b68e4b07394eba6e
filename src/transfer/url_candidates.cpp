#include "transfer/url_candidates.h"

#include <utility>

namespace vesk::updater {

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

bool isAbsoluteUrl(const std::string& text) {
    return startsWith(text, "http://") || startsWith(text, "https://");
}

std::string dirName(const std::string& text) {
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

std::string baseName(const std::string& text) {
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string trimSlashes(const std::string& text) {
    const std::size_t first = text.find_first_not_of('/');
    if (first == std::string::npos) {
        return std::string();
    }
    const std::size_t last = text.find_last_not_of('/');
    return text.substr(first, last - first + 1);
}

std::string joinUrlParts(const std::string& a, const std::string& b) {
    if (a.empty()) {
        return b;
    }
    if (b.empty()) {
        return a;
    }
    const bool aSlash = a.back() == '/';
    const bool bSlash = b.front() == '/';
    if (aSlash && bSlash) {
        return a + b.substr(1);
    }
    if (aSlash || bSlash) {
        return a + b;
    }
    return a + "/" + b;
}

UrlCandidates::UrlCandidates(std::vector<std::string> baseUrls, bool preferZip)
    : baseUrls(std::move(baseUrls)), preferZip(preferZip) {}

void UrlCandidates::reset(const std::string& location, const std::string& nameOverride) {
    baseIndex = 0;
    variant = 0;
    if (isAbsoluteUrl(location)) {
        // Only the path counts: the file is fetched from our own servers, never from the host named.
        const std::size_t hostStart = location.find("://") + 3;
        const std::size_t pathStart = location.find('/', hostStart);
        const std::string path =
            pathStart == std::string::npos ? std::string("/") : location.substr(pathStart);
        pathPrefix = dirName(path);
        fileName = baseName(path);
        return;
    }
    pathPrefix = dirName(location);
    fileName = nameOverride.empty() ? baseName(location) : nameOverride;
}

bool UrlCandidates::next(std::string& url, bool& isArchive) {
    if (baseUrls.empty() || fileName.empty() || baseIndex >= baseUrls.size()) {
        return false;
    }
    isArchive = variant == 0 ? preferZip : !preferZip;
    const std::string name = isArchive ? fileName + ".zip" : fileName;
    const std::string relative = trimSlashes(joinUrlParts(pathPrefix, name));
    url = joinUrlParts(baseUrls[baseIndex], relative);
    if (++variant == 2) {
        variant = 0;
        ++baseIndex;
    }
    return true;
}

} // namespace vesk::updater
