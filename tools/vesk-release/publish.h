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
    std::string timestamp;                   // publishing time, YYYY-MM-DDTHH:MM:SSZ; empty: now
    std::map<std::string, std::string> urls; // file name -> "url"
    std::map<std::string, std::string> targetPaths; // file name -> "target_path" (overrides the subfolder)
    // Deflate level of the archives (0: store). 3 packs within a few per cent of 6 at about two thirds of
    // the work, and deflating is most of what publishing costs.
    int zipLevel = 3;
    bool replace = false;                           // allow replacing an already published version.build
    unsigned expiresInDays = 0;                     // 1..3650: the manifest carries "expires"; 0: none
    fs::path keySuccession;                         // a chain file copied into the manifest; empty: none
    // Deliberate exceptions to what publish refuses by default when it compares with the live manifest.
    bool allowUnsigned = false;     // an unsigned manifest in place of a signed one
    bool allowOlder = false;        // a release not newer than the live one
    bool allowMissingCore = false;  // a release without one of the console updater's core files
    bool allowNewKey = false;       // a key neither the live manifest's key nor its chain vouches for
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
    std::vector<std::string> hiddenFiles;       // left out: names starting with "." (relative paths)
    std::vector<std::string> leftoversRemoved;  // what an interrupted publish had left, now removed
    bool reusedFolder = false; // the release folder held exactly these files already; only the manifest was written
};

// The files without which the console updater cannot run; a release must carry them.
const std::vector<std::string>& coreFileNames();

// "manifest.json" for the default channel ("" or exactly "stable"), else "manifest-<channel>.json".
std::string manifestFileName(const std::string& channel);

// Why a file name cannot be published for the updater, or "" when it can.
std::string unpublishableName(const std::string& name);

// Writes the server tree: updates/<version>.<build>/ with every file and its ZIP archive, then the channel's
// manifest (signed when a private key is given). Before anything is written, the release is held against
// the live manifests of the tree and refused when it would break what machines trust (see the allow*
// options). Everything is assembled under temporary names and moved into place at the end, the manifest
// last, so a publish stopped at any point leaves every manifest naming files that are there and match; the
// next publish removes what it left. On failure nothing new is left in the server tree.
bool publishRelease(const PublishOptions& options, PublishResult& result, std::string& error);

} // namespace vesk::release
