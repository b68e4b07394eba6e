#include "selfupdate/update_sources.h"

#include "core/build_config.h"
#include "core/settings.h"

namespace vesk::updater {

UpdateSources UpdateSources::fromSettings() {
    UpdateSources sources;
    sources.installDirectory = [] { return getInstallDirectory(); };
    sources.baseUrls = [] { return getBaseUrls(); };
    sources.defaultBaseUrl = build_config::kDefaultBaseUrl;
    sources.trust = ReleaseTrust::forThisProgram();
    return sources;
}

std::string UpdateSources::manifestUrl(const std::string& channel) const {
    return manifestUrlFor(channel, baseUrls());
}

} // namespace vesk::updater
