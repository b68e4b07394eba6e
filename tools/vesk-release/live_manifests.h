#pragma once

#include "file_util.h"
#include "key_succession.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vesk::release {

// One file a manifest lists, as far as publishing cares: which release folder it is downloaded from.
struct LiveEntry {
    std::string name;
    std::string folder; // the folder under updates/ it comes from; "" when it is downloaded from elsewhere
    std::string size;
    std::string sha256;
};

// A manifest already in the server tree, read for the comparisons publish makes before it writes.
struct LiveManifest {
    std::string fileName; // "manifest.json", "manifest-beta.json"
    bool readable = false;
    std::string version;
    std::string build;
    bool isSigned = false;       // a real signature, not a placeholder
    std::string publicKey;       // the signature block's key, without blanks
    std::set<std::string> keys;  // the keys its key-succession statements vouch for, without blanks
    std::vector<LiveEntry> entries;
    std::set<std::string> folders() const; // every release folder its entries come from
};

// Reads one manifest file; readable stays false for a text that is not a manifest.
LiveManifest readLiveManifest(const fs::path& path);

// Every channel's manifest in a server root: manifest.json and manifest-<channel>.json.
std::vector<LiveManifest> readLiveManifests(const fs::path& serverRoot);

// Orders two releases by version, then build, as the trusted programs order them. Negative when a is
// older.
int compareVersionBuild(const std::string& versionA, const std::string& buildA, const std::string& versionB,
                        const std::string& buildB);

} // namespace vesk::release
