#include "server_files.h"

#include "encoding.h"
#include "http_fetch.h"
#include "zip_archive.h"

#include "transfer/url_candidates.h"
#include "transfer/zip_reader.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vesk::release {

using vesk::updater::baseName;
using vesk::updater::joinUrlParts;

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The updater compares the manifest's size text after reading its leading decimal digits.
bool expectedSize(const std::string& text, std::uint64_t& size) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    return parseDecimal(text.substr(0, digits), size);
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
        if (::mkdtemp(pattern)) {
            folder_ = pattern;
        }
    }
    ~LoopbackServer() override {
        std::error_code ignored;
        if (!folder_.empty()) {
            fs::remove_all(folder_, ignored);
        }
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
        if (version.empty() || build.empty()) {
            return paths;
        }
        location = "/updates/" + version + "." + build + "/" + name;
    }
    // The updater's own candidate list against one empty base URL yields the server-relative paths.
    vesk::updater::UrlCandidates candidates({std::string()}, true);
    candidates.reset(location, name);
    bool archive = false;
    std::string first, second;
    if (!candidates.next(first, archive) || !archive || !candidates.next(second, archive) || archive) {
        return paths;
    }
    paths.usable = true;
    paths.archivePath = first;
    paths.plainPath = second;
    paths.wantedName = name;
    return paths;
}

bool ServerFilesResult::ok() const {
    return std::none_of(findings.begin(), findings.end(), [](const FileFinding& f) { return f.blocking; });
}

namespace {

enum class Offer { Missing, Good, Bad };

// One archive as the updater meets it: unpacked whole by its reader, then searched for the wanted name.
Offer checkArchive(ServerFiles& server, const std::string& serverPath, const CheckedEntry& entry,
                   const std::string& wantedName, std::vector<FileFinding>& findings) {
    const std::string shownName = server.describe(serverPath);
    fs::path local;
    std::string why;
    if (!server.fetch(serverPath, local, why)) {
        findings.push_back({false, entry.name, shownName + ": " + why});
        return Offer::Missing;
    }
    std::vector<std::pair<std::string, Digest>> files;
    const vesk::updater::ZipStatus status = digestArchive(local, files);
    if (status != vesk::updater::ZipStatus::Ok) {
        findings.push_back(
            {true, entry.name,
             shownName + ": the updater cannot unpack it (" + vesk::updater::zipStatusText(status) + ")"});
        return Offer::Bad;
    }
    std::vector<const std::pair<std::string, Digest>*> matches;
    for (const auto& file : files) {
        if (baseName(file.first) == wantedName) {
            matches.push_back(&file);
        }
    }
    if (matches.empty()) {
        findings.push_back({true, entry.name, shownName + ": holds no file named \"" + wantedName + "\""});
        return Offer::Bad;
    }
    const size_t before = findings.size();
    if (matches.size() > 1) {
        findings.push_back({true, entry.name,
                            shownName + ": holds " + std::to_string(matches.size()) + " files named \"" +
                                wantedName + "\"; which one the updater takes is not defined"});
    }
    compareDigest(matches.front()->second, entry.reading, shownName + " (" + matches.front()->first + ")",
                  entry.name, findings);
    return findings.size() == before ? Offer::Good : Offer::Bad;
}

Offer checkPlain(ServerFiles& server, const std::string& serverPath, const CheckedEntry& entry,
                 std::vector<FileFinding>& findings) {
    const std::string shownName = server.describe(serverPath);
    fs::path local;
    std::string why;
    if (!server.fetch(serverPath, local, why)) {
        findings.push_back({true, entry.name, shownName + ": " + why});
        return Offer::Missing;
    }
    Digest digest;
    std::string error;
    if (!digestFile(local, digest, error)) {
        findings.push_back({true, entry.name, error});
        return Offer::Bad;
    }
    const size_t before = findings.size();
    compareDigest(digest, entry.reading, shownName, entry.name, findings);
    return findings.size() == before ? Offer::Good : Offer::Bad;
}

} // namespace

ServerFilesResult checkServerFiles(ServerFiles& server, const ManifestCheckResult& manifest) {
    ServerFilesResult result;
    for (const CheckedEntry& entry : manifest.entries) {
        if (!entry.reading.found) {
            continue; // the updater never downloads it; reported with the manifest
        }
        const DownloadPaths paths =
            downloadPathsFor(entry.reading.url, manifest.reading.version, manifest.reading.build, entry.name);
        if (!paths.usable) {
            result.findings.push_back({true, entry.name, "the updater finds no download location for it"});
            continue;
        }
        ++result.filesChecked;
        // The archive comes first; only when it cannot serve the file does the updater take the plain one.
        std::vector<FileFinding> archiveFindings;
        const Offer archive =
            checkArchive(server, paths.archivePath, entry, paths.wantedName, archiveFindings);
        std::vector<FileFinding> plainFindings;
        Offer plain;
        const std::string suffix = ".zip";
        if (paths.plainPath.size() >= suffix.size() &&
            paths.plainPath.compare(paths.plainPath.size() - suffix.size(), suffix.size(), suffix) == 0) {
            // A plain URL ending in ".zip" is unpacked too, and searched for the file's own name.
            plain = checkArchive(server, paths.plainPath, entry, paths.wantedName, plainFindings);
        } else {
            plain = checkPlain(server, paths.plainPath, entry, plainFindings);
        }
        if (archive == Offer::Missing) {
            // Serving no archive is allowed as long as the plain file is right.
            for (FileFinding& finding : archiveFindings) {
                finding.blocking = plain != Offer::Good;
                finding.message += plain == Offer::Good ? " (the updater then takes the plain file)"
                                                        : " (and the plain file cannot serve either)";
            }
        }
        if (plain == Offer::Missing) {
            // A missing plain file is harmless while the archive serves.
            for (FileFinding& finding : plainFindings) {
                finding.blocking = archive != Offer::Good;
                if (archive == Offer::Good) {
                    finding.message += " (the archive serves instead)";
                }
            }
        }
        for (auto* list : {&archiveFindings, &plainFindings}) {
            for (FileFinding& finding : *list) {
                result.findings.push_back(std::move(finding));
            }
        }
    }
    return result;
}

} // namespace vesk::release
