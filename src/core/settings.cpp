#include "core/settings.h"

#include "core/build_config.h"

namespace vesk::updater {

namespace {

const std::string& firstBaseUrl(const std::vector<std::string>& baseUrls) {
    // Never destroyed: a thread may still build a URL while the process ends.
    static const std::string& builtIn = *new std::string(build_config::kDefaultBaseUrl);
    return baseUrls.empty() ? builtIn : baseUrls.front();
}

} // namespace

std::vector<std::string> splitBaseUrlsValue(const std::string& value) {
    std::vector<std::string> entries;
    std::size_t position = 0;
    while (position < value.size()) {
        const std::size_t separator = value.find(';', position);
        std::string entry =
            value.substr(position, separator == std::string::npos ? std::string::npos : separator - position);
        if (!entry.empty()) {
            entries.push_back(std::move(entry));
        }
        if (separator == std::string::npos) {
            break;
        }
        position = separator + 1;
    }
    return entries;
}

std::string manifestUrlFor(const std::string& channel, const std::vector<std::string>& baseUrls) {
    const std::string& base = firstBaseUrl(baseUrls);
    if (!channel.empty() && channel != "stable") {
        return base + "/manifest-" + channel + ".json";
    }
    return base + "/manifest.json";
}

std::string getManifestUrl(const std::string& channel) {
    return manifestUrlFor(channel, getBaseUrls());
}

std::string buildFileUrl(const std::string& version, const std::string& build,
                         const std::vector<std::string>& baseUrls, const std::string& fileName) {
    if (version.empty() || build.empty()) {
        return {};
    }
    return firstBaseUrl(baseUrls) + "/updates/" + version + "." + build + "/" + fileName;
}

} // namespace vesk::updater
