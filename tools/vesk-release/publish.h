#pragma once

#include "file_util.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vesk::release {

struct PublishOptions {
    fs::path releaseFolder; // the files to publish (subfolders become "target_path" values)
    std::string version;
    std::string build;
    std::string channel;                     // "" and "stable" are the default channel
    fs::path serverRoot;                     // the server tree to write into
    fs::path privateKey;                     // empty: publish unsigned, with a placeholder signature block
    std::string signer;                      // informational, in the signature block
    std::string timestamp;                   // empty: now, in UTC
    std::map<std::string, std::string> urls; // file name -> "url"
    std::map<std::string, std::string> targetPaths; // file name -> "target_path" (overrides the subfolder)
    int zipLevel = 6;                               // deflate level for the archives (0: store)
    bool replace = false;                           // allow replacing an already published version.build
    unsigned threads = 0;                           // 0: one per processor
    // Files larger than this get no archive: the updater refuses to unpack more than this many bytes and
    // takes the plain file anyway. 0: the updater's own limit.
    std::uint64_t archiveLimit = 0;
};

struct PublishedFile {
    std::string name;
    std::string targetPath; // "" when it is the name
    std::string url;
    std::uint64_t size = 0;
    std::string sha256;
    bool archived = false; // a .zip was written beside it
};

struct PublishResult {
    fs::path manifestPath;
    fs::path releaseDirectory; // <server root>/updates/<version>.<build>
    std::vector<PublishedFile> files;
    std::uint64_t totalBytes = 0;
    bool signedManifest = false;
    std::string manifestText;
};

// "manifest.json" for the default channel ("" or exactly "stable"), else "manifest-<channel>.json".
std::string manifestFileName(const std::string& channel);

// Why a file name cannot be published for the updater, or "" when it can.
std::string unpublishableName(const std::string& name);

// Writes the server tree: updates/<version>.<build>/ with every file and its ZIP archive, then the channel's
// manifest (signed when a private key is given). Everything is assembled under temporary names and moved
// into place at the end, the manifest last; on failure nothing new is left in the server tree.
bool publishRelease(const PublishOptions& options, PublishResult& result, std::string& error);

} // namespace vesk::release
