#include "server_files.h"

#include "encoding.h"
#include "http_fetch.h"
#include "zip_archive.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vesk::release {

namespace {

bool isAbsoluteUrl(const std::string& text) {
    return text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0;
}

std::string dirName(const std::string& text) {
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

std::string baseName(const std::string& text) {
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string trimSlashes(const std::string& text) {
    const size_t first = text.find_first_not_of('/');
    if (first == std::string::npos)
        return {};
    const size_t last = text.find_last_not_of('/');
    return text.substr(first, last - first + 1);
}

std::string joinUrlParts(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    const bool aSlash = a.back() == '/';
    const bool bSlash = b.front() == '/';
    if (aSlash && bSlash)
        return a + b.substr(1);
    if (aSlash || bSlash)
        return a + b;
    return a + "/" + b;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The updater compares the manifest's size text after reading its leading decimal digits.
bool expectedSize(const std::string& text, std::uint64_t& size) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    return parseDecimal(text.substr(0, digits), size);
}

// Names the updater's archive reader refuses outright, which fails the whole archive.
bool unsafeArchiveName(const std::string& name) {
    if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos ||
        name.find(':') != std::string::npos) {
        return true;
    }
    size_t start = 0;
    while (start <= name.size()) {
        const size_t slash = name.find('/', start);
        const std::string part =
            name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..")
            return true;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return false;
}

class LocalTree : public ServerFiles {
public:
    explicit LocalTree(fs::path root) : root_(std::move(root)) {}

    bool fetch(const std::string& serverPath, fs::path& localPath, std::string& why) override {
        std::string decoded;
        const std::string path = serverPath.substr(0, serverPath.find_first_of("?#"));
        for (size_t i = 0; i < path.size(); ++i) {
            if (path[i] == '%' && i + 2 < path.size() && hexValue(path[i + 1]) >= 0 &&
                hexValue(path[i + 2]) >= 0) {
                decoded += static_cast<char>(hexValue(path[i + 1]) * 16 + hexValue(path[i + 2]));
                i += 2;
            } else {
                decoded += path[i];
            }
        }
        const fs::path relative(decoded);
        for (const auto& part : relative) {
            if (part == "..") {
                why = "the path leaves the server tree";
                return false;
            }
        }
        localPath = root_ / relative.relative_path();
        std::error_code ec;
        if (!fs::is_regular_file(localPath, ec)) {
            why = "missing";
            return false;
        }
        return true;
    }

    std::string describe(const std::string& serverPath) const override {
        return (root_ / serverPath).string();
    }

private:
    fs::path root_;
};

class LoopbackServer : public ServerFiles {
public:
    explicit LoopbackServer(std::string baseUrl) : base_(std::move(baseUrl)) {
        char pattern[] = "/tmp/vesk-release-check-XXXXXX";
        if (::mkdtemp(pattern))
            folder_ = pattern;
    }
    ~LoopbackServer() override {
        std::error_code ignored;
        if (!folder_.empty())
            fs::remove_all(folder_, ignored);
    }

    bool fetch(const std::string& serverPath, fs::path& localPath, std::string& why) override {
        if (folder_.empty()) {
            why = "no temporary folder for downloads";
            return false;
        }
        localPath = folder_ / ("download-" + std::to_string(counter_++));
        const int fd = ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            why = describeErrno(localPath, errno);
            return false;
        }
        int status = 0;
        std::string error;
        const bool ok = httpGet(
            describe(serverPath),
            [&](const char* data, size_t size) {
                return ::write(fd, data, size) == static_cast<ssize_t>(size);
            },
            status, error);
        ::close(fd);
        if (!ok) {
            why = error;
            return false;
        }
        if (status != 200) {
            why = "HTTP status " + std::to_string(status);
            return false;
        }
        return true;
    }

    std::string describe(const std::string& serverPath) const override {
        return joinUrlParts(base_, serverPath);
    }

private:
    std::string base_;
    fs::path folder_;
    unsigned counter_ = 0;
};

void compareDigest(const Digest& actual, const UpdaterEntryReading& reading, const std::string& what,
                   const std::string& name, std::vector<FileFinding>& findings) {
    std::uint64_t size = 0;
    if (!reading.size.empty() && expectedSize(reading.size, size) && size != actual.size) {
        findings.push_back({true, name,
                            what + ": size " + std::to_string(actual.size) + " differs from the manifest's " +
                                reading.size});
    }
    if (!reading.sha256.empty() && asciiLower(reading.sha256) != actual.sha256) {
        findings.push_back(
            {true, name,
             what + ": SHA-256 " + actual.sha256 + " differs from the manifest's " + reading.sha256});
    }
}

} // namespace

std::unique_ptr<ServerFiles> localServerTree(const fs::path& root) {
    return std::make_unique<LocalTree>(root);
}

std::unique_ptr<ServerFiles> loopbackServer(const std::string& baseUrl) {
    return std::make_unique<LoopbackServer>(baseUrl);
}

DownloadPaths downloadPathsFor(const std::string& url, const std::string& version, const std::string& build,
                               const std::string& name) {
    DownloadPaths paths;
    std::string location = url;
    if (location.empty()) {
        if (version.empty() || build.empty())
            return paths;
        location = "/updates/" + version + "." + build + "/" + name;
    }
    std::string prefix, fileName;
    if (isAbsoluteUrl(location)) {
        const size_t hostStart = location.find("://") + 3;
        const size_t pathStart = location.find('/', hostStart);
        const std::string path = pathStart == std::string::npos ? "/" : location.substr(pathStart);
        prefix = dirName(path);
        fileName = baseName(path);
    } else {
        prefix = dirName(location);
        fileName = name.empty() ? baseName(location) : name;
    }
    if (fileName.empty())
        return paths;
    paths.usable = true;
    paths.archivePath = trimSlashes(joinUrlParts(prefix, fileName + ".zip"));
    paths.plainPath = trimSlashes(joinUrlParts(prefix, fileName));
    paths.wantedName = name;
    return paths;
}

bool ServerFilesResult::ok() const {
    return std::none_of(findings.begin(), findings.end(), [](const FileFinding& f) { return f.blocking; });
}

ServerFilesResult checkServerFiles(ServerFiles& server, const ManifestCheckResult& manifest) {
    ServerFilesResult result;
    for (const CheckedEntry& entry : manifest.entries) {
        if (!entry.reading.found)
            continue; // the updater never downloads it; reported with the manifest
        const DownloadPaths paths =
            downloadPathsFor(entry.reading.url, manifest.reading.version, manifest.reading.build, entry.name);
        if (!paths.usable) {
            result.findings.push_back({true, entry.name, "the updater finds no download location for it"});
            continue;
        }
        ++result.filesChecked;
        bool archiveGood = false;
        fs::path local;
        std::string why;
        const std::string archiveName = server.describe(paths.archivePath);
        if (!server.fetch(paths.archivePath, local, why)) {
            result.findings.push_back(
                {false, entry.name, archiveName + ": " + why + " (the updater then takes the plain file)"});
        } else {
            std::vector<ZipEntryInfo> entries;
            std::string error;
            if (!listZipEntries(local, entries, error)) {
                result.findings.push_back({true, entry.name, archiveName + ": " + error});
            } else if (const auto unsafe =
                           std::find_if(entries.begin(), entries.end(),
                                        [](const ZipEntryInfo& e) { return unsafeArchiveName(e.name); });
                       unsafe != entries.end()) {
                result.findings.push_back({true, entry.name,
                                           archiveName + ": entry \"" + unsafe->name +
                                               "\" has a path the updater refuses to unpack"});
            } else {
                std::vector<const ZipEntryInfo*> matches;
                for (const ZipEntryInfo& e : entries) {
                    if (!e.name.empty() && e.name.back() != '/' && baseName(e.name) == paths.wantedName) {
                        matches.push_back(&e);
                    }
                }
                if (matches.empty()) {
                    result.findings.push_back(
                        {true, entry.name,
                         archiveName + ": holds no file named \"" + paths.wantedName + "\""});
                } else {
                    if (matches.size() > 1) {
                        result.findings.push_back({true, entry.name,
                                                   archiveName + ": holds " + std::to_string(matches.size()) +
                                                       " files named \"" + paths.wantedName +
                                                       "\"; which one the updater takes is not defined"});
                    }
                    Digest digest;
                    if (!digestZipEntry(local, *matches.front(), digest, error)) {
                        result.findings.push_back({true, entry.name, error});
                    } else {
                        const size_t before = result.findings.size();
                        compareDigest(digest, entry.reading, archiveName + " (" + matches.front()->name + ")",
                                      entry.name, result.findings);
                        archiveGood = result.findings.size() == before && matches.size() == 1;
                    }
                }
            }
        }
        const std::string plainName = server.describe(paths.plainPath);
        if (!server.fetch(paths.plainPath, local, why)) {
            result.findings.push_back(
                {!archiveGood, entry.name,
                 plainName + ": " + why + (archiveGood ? " (the archive serves instead)" : "")});
        } else {
            Digest digest;
            std::string error;
            if (!digestFile(local, digest, error)) {
                result.findings.push_back({true, entry.name, error});
            } else {
                compareDigest(digest, entry.reading, plainName, entry.name, result.findings);
            }
        }
    }
    return result;
}

} // namespace vesk::release
