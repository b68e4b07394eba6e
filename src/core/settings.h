#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vesk::updater {

// The install directory from the registry, or "C:\Program Files\VESK" (with a WARNING line). Never empty.
std::string getInstallDirectory();

// The built-in default base URL followed by the registry's "BaseUrls" entries. Never empty.
std::vector<std::string> getBaseUrls();

// The manifest URL of a channel on the first base URL of the list.
std::string manifestUrlFor(const std::string& channel, const std::vector<std::string>& baseUrls);

// manifestUrlFor(channel, getBaseUrls()).
std::string getManifestUrl(const std::string& channel);

// The default download URL of one file of a build, or "" when version or build is empty.
std::string buildFileUrl(const std::string& version, const std::string& build,
                         const std::vector<std::string>& baseUrls, const std::string& fileName);

// The non-empty entries of a "BaseUrls" value split at ";", in order, neither trimmed nor de-duplicated.
std::vector<std::string> splitBaseUrlsValue(const std::string& value);

// SHA-256 of the running executable, computed once and then cached; "" when it cannot be computed.
std::string getOwnExecutableHash();

// The cached SHA-256 of the running executable when path names that very file, unchanged since it was
// hashed (same volume, file index, size and write time); nothing otherwise, and the caller hashes path.
std::optional<std::string> ownExecutableHashIfSameFile(const std::string& path);

} // namespace vesk::updater
