#pragma once

#include "selfupdate/release_trust.h"

#include <functional>
#include <string>
#include <vector>

namespace vesk::updater {

// Where the self-update steps find the install folder and the update servers. The program reads them from
// the registry and the build; tests point them at a temporary folder and a loopback server.
struct UpdateSources {
    std::function<std::string()> installDirectory;
    std::function<std::vector<std::string>()> baseUrls; // element 0 is the default server
    std::string defaultBaseUrl;
    // Empty unless the program was built with a trusted release key.
    ReleaseTrust trust;

    // The registry-backed settings and the built-in default server.
    static UpdateSources fromSettings();

    // The manifest URL of a channel on the default server of baseUrls().
    std::string manifestUrl(const std::string& channel) const;
};

} // namespace vesk::updater
