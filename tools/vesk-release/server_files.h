#pragma once

#include "file_util.h"
#include "manifest_check.h"

#include <memory>
#include <string>
#include <vector>

namespace vesk::release {

// Where the check finds the files a manifest points at: a server tree on disk or a loopback server.
class ServerFiles {
public:
    virtual ~ServerFiles() = default;
    // Makes the file at a server path (relative, without a leading "/") readable as localPath. False with
    // why when the server does not offer it.
    virtual bool fetch(const std::string& serverPath, fs::path& localPath, std::string& why) = 0;
    // How a server path is named in messages (a file path or a URL).
    virtual std::string describe(const std::string& serverPath) const = 0;
};

// A server tree on disk: server paths are taken relative to root (percent escapes decoded, query dropped);
// paths that would leave the tree are refused.
std::unique_ptr<ServerFiles> localServerTree(const fs::path& root);

// A loopback HTTP server: each file is downloaded into a private temporary folder.
std::unique_ptr<ServerFiles> loopbackServer(const std::string& baseUrl);

// Where the updater would fetch one file, following its rules: the entry's "url" (only its path when
// absolute) or "/updates/<version>.<build>/<name>"; the archive variant is tried before the plain file.
struct DownloadPaths {
    bool usable = false;     // false: the updater has no candidate to try
    std::string archivePath; // server path of the ".zip" variant
    std::string plainPath;   // server path of the plain file
    std::string wantedName;  // the name searched for inside the archive
};
DownloadPaths downloadPathsFor(const std::string& url, const std::string& version, const std::string& build,
                               const std::string& name);

struct FileFinding {
    bool blocking = true;
    std::string name; // the manifest entry
    std::string message;
};

struct ServerFilesResult {
    size_t filesChecked = 0;
    std::vector<FileFinding> findings;
    bool ok() const;
};

// For every entry the updater finds, fetches what the updater would fetch and compares size and SHA-256
// with the values the updater read: the plain file, and the file inside the ZIP archive.
ServerFilesResult checkServerFiles(ServerFiles& server, const ManifestCheckResult& manifest);

} // namespace vesk::release
