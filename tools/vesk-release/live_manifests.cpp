#include "live_manifests.h"

#include "integrity/manifest_trust.h"

#include <algorithm>

namespace vesk::release {

namespace {

// A member as text: strings as they are, numbers in their JSON spelling.
std::string valueText(const OrderedJson& object, const char* key) {
    if (!object.is_object() || !object.contains(key)) {
        return {};
    }
    const OrderedJson& value = object[key];
    return value.is_string() ? value.get<std::string>() : value.is_null() ? std::string() : value.dump();
}

// The release folder a download location points into: the segment after "/updates/" in its path.
std::string folderOfUrl(const std::string& url) {
    std::string path = url.substr(0, url.find_first_of("?#"));
    if (const size_t scheme = path.find("://"); scheme != std::string::npos) {
        const size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? std::string() : path.substr(slash);
    }
    size_t start = 0;
    if (path.rfind("updates/", 0) == 0) {
        start = 8;
    } else if (const size_t at = path.find("/updates/"); at != std::string::npos) {
        start = at + 9;
    } else {
        return {};
    }
    return path.substr(start, path.find('/', start) - start);
}

} // namespace

std::set<std::string> LiveManifest::folders() const {
    std::set<std::string> out;
    for (const LiveEntry& entry : entries) {
        if (!entry.folder.empty()) {
            out.insert(entry.folder);
        }
    }
    return out;
}

LiveManifest readLiveManifest(const fs::path& path) {
    LiveManifest live;
    live.fileName = path.filename().string();
    std::string text, error;
    if (!readWholeFile(path, text, error)) {
        return live;
    }
    const OrderedJson root = OrderedJson::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object() || !root.contains("manifest") || !root["manifest"].is_object()) {
        return live;
    }
    const OrderedJson& manifest = root["manifest"];
    live.readable = true;
    live.version = valueText(manifest, "version");
    live.build = valueText(manifest, "build_number");
    if (live.build.empty()) {
        live.build = valueText(manifest, "build");
    }
    if (root.contains("signature") && root["signature"].is_object()) {
        const std::string signature = valueText(root["signature"], "signature");
        live.publicKey = keyTextWithoutBlanks(valueText(root["signature"], "public_key"));
        live.isSigned = !signature.empty() && !live.publicKey.empty() &&
                        signature.find("placeholder") == std::string::npos &&
                        live.publicKey.find("placeholder") == std::string::npos;
    }
    if (root.contains("key_succession") && root["key_succession"].is_array()) {
        for (const OrderedJson& item : root["key_succession"]) {
            if (item.is_object() && item.contains("statement") && item["statement"].is_object() &&
                item["statement"].contains("keys") && item["statement"]["keys"].is_array()) {
                for (const OrderedJson& key : item["statement"]["keys"]) {
                    if (key.is_string()) {
                        live.keys.insert(keyTextWithoutBlanks(key.get<std::string>()));
                    }
                }
            }
        }
    }
    if (manifest.contains("files") && manifest["files"].is_array()) {
        for (const OrderedJson& item : manifest["files"]) {
            if (!item.is_object()) {
                continue;
            }
            LiveEntry entry;
            entry.name = valueText(item, "name");
            entry.size = valueText(item, "size");
            entry.sha256 = valueText(item, "sha256");
            const std::string url = valueText(item, "url");
            entry.folder = url.empty() ? live.version + "." + live.build : folderOfUrl(url);
            live.entries.push_back(std::move(entry));
        }
    }
    return live;
}

std::vector<LiveManifest> readLiveManifests(const fs::path& serverRoot) {
    std::vector<LiveManifest> out;
    std::error_code ec;
    for (fs::directory_iterator it(serverRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool manifestName = name == "manifest.json" ||
                                  (name.rfind("manifest-", 0) == 0 && name.size() > 14 &&
                                   name.compare(name.size() - 5, 5, ".json") == 0);
        if (manifestName && it->is_regular_file(ec)) {
            out.push_back(readLiveManifest(it->path()));
        }
    }
    std::sort(out.begin(), out.end(),
              [](const LiveManifest& a, const LiveManifest& b) { return a.fileName < b.fileName; });
    return out;
}

int compareVersionBuild(const std::string& versionA, const std::string& buildA, const std::string& versionB,
                        const std::string& buildB) {
    vesk::updater::ReleaseIdentity a, b;
    a.version = versionA;
    a.build = buildA;
    b.version = versionB;
    b.build = buildB;
    return vesk::updater::compareReleases(a, b);
}

} // namespace vesk::release
