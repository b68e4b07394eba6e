#include "publish.h"

#include "encoding.h"
#include "key_succession.h"
#include "live_manifests.h"
#include "manifest_check.h"
#include "rsa_keys.h"
#include "signature_report.h"
#include "zip_archive.h"

#include "transfer/zip_reader.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <set>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vesk::release {

namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kChunk = 1 << 20;

struct SourceFile {
    fs::path path;
    std::string name;
    std::string targetPath;
    std::string url;
    std::time_t modified = 0;
    PublishedFile published;
    std::string error;
};

bool validUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        unsigned code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            extra = 1, code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (d & 0x3F);
        }
        if ((extra == 1 && code < 0x80) || (extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) ||
            code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool isReservedDeviceName(const std::string& name) {
    std::string stem = asciiLower(name.substr(0, name.find('.')));
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") {
        return true;
    }
    return stem.size() == 4 && (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

// A version, build or channel goes into folder names and URLs: keep it to a plain token.
std::string checkToken(const std::string& what, const std::string& value, bool mayBeEmpty) {
    if (value.empty()) {
        return mayBeEmpty ? std::string() : what + " is empty";
    }
    if (!isPlainToken(value) || value[0] == '.' || value[0] == '-') {
        return what + " \"" + value +
               "\" may hold only letters, digits, \".\", \"_\" and \"-\", and must start "
               "with a letter or digit";
    }
    return {};
}

std::string checkTargetPath(const std::string& path) {
    if (path.empty()) {
        return "is empty";
    }
    if (path.front() == '\\' || path.front() == '/') {
        return "must be relative to the install folder";
    }
    size_t start = 0;
    while (start <= path.size()) {
        const size_t sep = path.find_first_of("\\/", start);
        const std::string part =
            path.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        if (part == "." || part == "..") {
            return "must not contain \".\" or \"..\"";
        }
        const std::string why = unpublishableName(part);
        if (!why.empty()) {
            return "has a component that " + why;
        }
        if (sep == std::string::npos) {
            break;
        }
        start = sep + 1;
    }
    return {};
}

std::string checkUrl(const std::string& url) {
    if (url.empty()) {
        return "is empty";
    }
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            return "holds a blank or control character";
        }
        if (std::string_view("\"\\{}[]").find(c) != std::string_view::npos) {
            return "holds one of \" \\ { } [ ], which the updater's text reading cannot take in a manifest "
                   "entry";
        }
    }
    if (!validUtf8(url)) {
        return "is not UTF-8";
    }
    return {};
}

std::string utcText(std::time_t when) {
    std::tm parts{};
    ::gmtime_r(&when, &parts);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return buffer;
}

bool parseUtcText(const std::string& text, std::time_t& when) {
    std::tm parts{};
    const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    if (!end || *end != '\0') {
        return false;
    }
    when = ::timegm(&parts);
    return true;
}

// Test runs stop the tool dead at a named step, exactly as kill -9 would, to show that the server tree is
// consistent whatever moment a publish is stopped at. Unset in every real run.
void stopPoint(const char* step) {
    static const char* const wanted = std::getenv("VESK_RELEASE_STOP_AT");
    if (wanted && std::strcmp(wanted, step) == 0) {
        std::fflush(nullptr);
        ::kill(::getpid(), SIGKILL);
    }
}

// One publish at a time per server tree: an exclusive lock on the tree's folder, released by the kernel
// however the process ends, so the leftovers found under it are never another publish's work in progress.
class TreeLock {
public:
    bool acquire(const fs::path& root, std::string& error) {
        fd_ = UniqueFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd_) {
            error = describeErrno(root, errno);
            return false;
        }
        if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK ? root.string() + ": another publish is writing into this tree; run one "
                                                           "at a time"
                                         : describeErrno(root, errno);
            return false;
        }
        return true;
    }

private:
    UniqueFd fd_;
};

// Hidden work folders and temporary manifests are what an interrupted publish leaves; nothing serves them.
bool isLeftover(const std::string& name, bool inUpdates) {
    if (inUpdates) {
        return name.size() > 1 && name[0] == '.' &&
               (name.find(".staging-") != std::string::npos || name.find(".previous") != std::string::npos);
    }
    return name.rfind("manifest", 0) == 0 && name.find(".json.tmp-") != std::string::npos;
}

std::vector<std::string> removeLeftovers(const fs::path& root) {
    std::vector<std::string> removed;
    for (const auto& [folder, inUpdates] : {std::pair{root, false}, std::pair{root / "updates", true}}) {
        std::error_code ec;
        std::vector<fs::path> found;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (isLeftover(it->path().filename().string(), inUpdates)) {
                found.push_back(it->path());
            }
        }
        for (const fs::path& path : found) {
            std::error_code ignored;
            if (fs::remove_all(path, ignored) > 0) {
                removed.push_back(path.lexically_relative(root).string());
            }
        }
    }
    return removed;
}

bool collectFiles(const PublishOptions& options, std::vector<SourceFile>& files,
                  std::vector<std::string>& hidden, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(options.releaseFolder, ec)) {
        error = options.releaseFolder.string() + ": not a folder";
        return false;
    }
    std::map<std::string, fs::path> byName;
    fs::recursive_directory_iterator it(options.releaseFolder, fs::directory_options::none, ec), end;
    if (ec) {
        error = options.releaseFolder.string() + ": " + ec.message();
        return false;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) {
            error = options.releaseFolder.string() + ": " + ec.message();
            return false;
        }
        const fs::path& path = it->path();
        // Hidden files are build and editor leftovers (.DS_Store, .git); they are left out and listed.
        if (path.filename().string().front() == '.') {
            hidden.push_back(path.lexically_relative(options.releaseFolder).string());
            if (it->is_directory(ec) && !it->is_symlink(ec)) {
                it.disable_recursion_pending();
            }
            continue;
        }
        // A link would publish whatever it points at, anywhere on this machine.
        if (it->is_symlink(ec)) {
            error = path.string() + ": is a symbolic link; publish takes only plain files (copy the file it "
                                    "points at into the release folder)";
            return false;
        }
        const fs::file_status status = it->symlink_status(ec);
        if (fs::is_directory(status)) {
            continue;
        }
        if (!fs::is_regular_file(status)) {
            error = path.string() + ": is not a plain file (a device, pipe or socket); publish takes only "
                                    "plain files";
            return false;
        }
        SourceFile file;
        file.path = path;
        file.name = path.filename().string();
        const std::string why = unpublishableName(file.name);
        if (!why.empty()) {
            error = path.string() + ": the file name " + why;
            return false;
        }
        const auto [previous, inserted] = byName.emplace(file.name, path);
        if (!inserted) {
            error = path.string() + ": the name \"" + file.name + "\" is also used by " +
                    previous->second.string() +
                    "; the updater looks files up by name, so names must be unique";
            return false;
        }
        const fs::path relative = path.lexically_relative(options.releaseFolder);
        if (relative.has_parent_path()) {
            std::string target;
            for (const auto& part : relative) {
                if (!target.empty()) {
                    target += '\\';
                }
                target += part.string();
            }
            file.targetPath = target;
        }
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            file.modified = info.st_mtime;
        }
        files.push_back(std::move(file));
    }
    if (files.empty()) {
        error = options.releaseFolder.string() + ": no files to publish";
        return false;
    }
    for (const SourceFile& file : files) {
        if (byName.count(file.name + ".zip")) {
            error = options.releaseFolder.string() + ": \"" + file.name +
                    ".zip\" would collide with the archive of \"" + file.name + "\" in the server folder";
            return false;
        }
    }
    for (const auto& [name, url] : options.urls) {
        if (!byName.count(name)) {
            error = "--url " + name + "=...: no file of that name in " + options.releaseFolder.string();
            return false;
        }
        const std::string why = checkUrl(url);
        if (!why.empty()) {
            error = "--url " + name + "=" + url + ": the URL " + why;
            return false;
        }
    }
    for (const auto& [name, target] : options.targetPaths) {
        if (!byName.count(name)) {
            error =
                "--target-path " + name + "=...: no file of that name in " + options.releaseFolder.string();
            return false;
        }
        const std::string why = checkTargetPath(target);
        if (!why.empty()) {
            error = "--target-path " + name + "=" + target + ": the path " + why;
            return false;
        }
    }
    for (SourceFile& file : files) {
        if (const auto url = options.urls.find(file.name); url != options.urls.end()) {
            file.url = url->second;
        }
        if (const auto target = options.targetPaths.find(file.name); target != options.targetPaths.end()) {
            file.targetPath = target->second;
        }
        if (file.targetPath == file.name) {
            file.targetPath.clear();
        }
        if (!file.targetPath.empty()) {
            const std::string why = checkTargetPath(file.targetPath);
            if (!why.empty()) {
                error = file.path.string() + ": the target path \"" + file.targetPath + "\" " + why;
                return false;
            }
        }
    }
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    return true;
}

// A source file mapped into memory for reading (nothing for an empty file).
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() {
        if (data_) {
            ::munmap(data_, size_);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    bool open(const fs::path& path, std::string& error) {
        // Never through a link: one put in place after the folder was listed must not be published either.
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd) {
            error = describeErrno(path, errno);
            return false;
        }
        struct stat info {};
        bool ok = ::fstat(fd.get(), &info) == 0;
        if (ok && info.st_size > 0) {
            size_ = static_cast<size_t>(info.st_size);
            void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
            ok = mapped != MAP_FAILED;
            if (ok) {
                data_ = mapped;
                ::madvise(data_, size_, MADV_SEQUENTIAL);
            }
        }
        if (!ok) {
            error = describeErrno(path, errno);
        }
        return ok; // the mapping stays valid once the descriptor is closed
    }
    const unsigned char* data() const { return static_cast<const unsigned char*>(data_); }
    size_t size() const { return data_ ? size_ : 0; }

private:
    void* data_ = nullptr;
    size_t size_ = 0;
};

bool writeCopy(const fs::path& path, const unsigned char* data, size_t size, std::string& error) {
    UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!out) {
        error = describeErrno(path, errno);
        return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < size;) {
        const ssize_t written = ::write(out.get(), data + done, std::min(size - done, kChunk * 64));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        ok = written > 0;
        done += ok ? static_cast<size_t>(written) : 0;
    }
    const int writeErrno = errno;
    if (!out.close() || !ok) {
        error = describeErrno(path, ok ? errno : writeErrno);
        ::unlink(path.c_str()); // a partial copy must not pass for the file
        return false;
    }
    return true;
}

// Syncs a folder: its entries (names, renames) reach the disk; with contents also everything written to its
// filesystem, so every staged file is synced once, together, instead of one file at a time.
bool syncFolder(const fs::path& folder, bool contents, std::string& error) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        error = describeErrno(folder, errno);
        return false;
    }
    const bool ok = (!contents || ::syncfs(fd.get()) == 0) && ::fsync(fd.get()) == 0;
    if (!ok) {
        error = describeErrno(folder, errno);
    }
    return ok;
}

// Reads the source once (mapped): hashes it, copies it into the staging folder and packs it into its
// archive. Nothing is synced here; publishRelease syncs the staged tree once before it is moved into place.
bool stageFile(SourceFile& file, const fs::path& staging, int zipLevel, std::uint64_t archiveLimit) {
    MappedFile source;
    if (!source.open(file.path, file.error)) {
        return false;
    }
    const bool archive = source.size() <= archiveLimit;
    Sha256 hash;
    hash.update(source.data(), source.size());
    if (!writeCopy(staging / file.name, source.data(), source.size(), file.error)) {
        return false;
    }
    if (archive) {
        // Compressed libraries and archives do not shrink; a sample tells them apart cheaply. A small file is
        // simply deflated: the archive writer stores it when that saves nothing, and the trial costs less
        // than a sample.
        constexpr size_t kSampleFrom = 256 * 1024;
        const bool deflate = source.size() <= kSampleFrom
                                 ? zipLevel > 0
                                 : deflateWorthwhileSampled(source.data(), source.size(), zipLevel);
        if (!writeSingleEntryZip(staging / (file.name + ".zip"), file.name, source.data(), source.size(),
                                 deflate, zipLevel, dosDateTime(file.modified), file.error,
                                 source.size() <= kSampleFrom)) {
            return false;
        }
    }
    file.published.name = file.name;
    file.published.targetPath = file.targetPath;
    file.published.url = file.url;
    file.published.size = source.size();
    file.published.sha256 = hash.finishHex();
    file.published.archived = archive;
    return true;
}

bool stageAll(std::vector<SourceFile>& files, const fs::path& staging, const PublishOptions& options,
              std::string& error) {
    unsigned workers = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    workers = std::min<unsigned>(workers, static_cast<unsigned>(files.size()));
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    auto work = [&] {
        for (size_t i = next++; i < files.size() && !failed; i = next++) {
            const std::uint64_t limit =
                options.archiveLimit ? options.archiveLimit : vesk::updater::ZipLimits{}.maxTotalSize;
            if (!stageFile(files[i], staging, options.zipLevel, limit)) {
                failed = true;
            } else {
                stopPoint("staging");
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < workers; ++i) {
        pool.emplace_back(work);
    }
    work();
    for (std::thread& t : pool) {
        t.join();
    }
    for (const SourceFile& file : files) {
        if (!file.error.empty()) {
            error = file.error;
            return false;
        }
    }
    return !failed;
}

bool buildManifest(const PublishOptions& options, const std::vector<SourceFile>& files,
                   const RsaPrivateKey* key, const std::vector<SuccessionStatement>& chain, PublishResult& result,
                   std::string& error) {
    std::time_t published = std::time(nullptr);
    if (!options.timestamp.empty() && !parseUtcText(options.timestamp, published)) {
        error = "the publishing time \"" + options.timestamp + "\" is not YYYY-MM-DDTHH:MM:SSZ";
        return false;
    }
    Json manifest = Json::object();
    manifest["version"] = options.version;
    std::uint64_t buildNumber = 0;
    // A build of plain digits is written as a number; leading zeros or letters keep it a string.
    if (parseDecimal(options.build, buildNumber) && options.build.size() <= 18 &&
        (options.build == "0" || options.build[0] != '0')) {
        manifest["build_number"] = buildNumber;
    } else {
        manifest["build_number"] = options.build;
    }
    manifest["channel"] = options.channel.empty() ? std::string("stable") : options.channel;
    // Both inside the signed object: "published" is for people reading logs, "expires" bounds how long a
    // copy of this manifest can be served back to machines (a freeze).
    manifest["published"] = utcText(published);
    if (options.expiresInDays > 0) {
        manifest["expires"] = utcText(published + static_cast<std::time_t>(options.expiresInDays) * 86400);
    }
    Json list = Json::array();
    for (const SourceFile& file : files) {
        Json entry = Json::object();
        entry["name"] = file.published.name;
        entry["size"] = file.published.size;
        entry["sha256"] = file.published.sha256;
        if (!file.published.targetPath.empty()) {
            entry["target_path"] = file.published.targetPath;
        }
        if (!file.published.url.empty()) {
            entry["url"] = file.published.url;
        }
        list.push_back(std::move(entry));
    }
    manifest["files"] = std::move(list);

    Json signature = Json::object();
    signature["algorithm"] = "RSA-SHA256";
    if (key) {
        std::string signatureText;
        // The updater verifies the compact serialization of exactly this object, members in this order.
        if (!key->signBase64(manifest.dump(), signatureText, error)) {
            return false;
        }
        signature["signature"] = signatureText;
        signature["public_key"] = key->publicKeyForUpdater();
        result.signedManifest = true;
    } else {
        signature["signature"] = "placeholder";
        signature["public_key"] = "placeholder";
    }
    signature["timestamp"] = utcText(published);
    signature["signer"] = options.signer;

    Json document = Json::object();
    document["manifest"] = std::move(manifest);
    document["signature"] = std::move(signature);
    // After the signature block: the updater's text search takes the first "signature" key it meets, and
    // every statement has one of its own.
    if (!chain.empty()) {
        document["key_succession"] = chainJson(chain);
    }
    // Two-space indentation writes every member as "key": value on one line, which is what the updater's
    // text search needs; every other writing rule is met by the names and values validated above.
    result.manifestText = document.dump(2) + "\n";
    return true;
}

void removeQuietly(const fs::path& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

} // namespace

std::string manifestFileName(const std::string& channel) {
    if (channel.empty() || channel == "stable") {
        return "manifest.json";
    }
    return "manifest-" + channel + ".json";
}

std::string unpublishableName(const std::string& name) {
    if (name.empty()) {
        return "is empty";
    }
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return "holds a control character";
        }
        if (std::string_view("\"\\/:*?<>|").find(c) != std::string_view::npos) {
            return "holds one of \" \\ / : * ? < > |, which Windows file names cannot hold";
        }
        if (std::string_view("{}[]").find(c) != std::string_view::npos) {
            return "holds one of { } [ ], which the updater's text reading of the manifest cannot take";
        }
    }
    if (!validUtf8(name)) {
        return "is not UTF-8";
    }
    if (name.back() == '.' || name.back() == ' ') {
        return "ends in a dot or a blank, which Windows drops";
    }
    if (isReservedDeviceName(name)) {
        return "is a Windows device name";
    }
    return {};
}

const std::vector<std::string>& coreFileNames() {
    static const std::vector<std::string> names = {"Updater.exe", "libcurl.dll", "libsodium.dll", "zlib1.dll"};
    return names;
}

namespace {

std::string releaseName(const std::string& version, const std::string& build) {
    return "version " + version + " build " + build;
}

// Why this release must not replace the live manifest of its channel, or "" when it may. Each refusal names
// the option that publishes it anyway, where one makes sense.
std::string refusalAgainstLive(const PublishOptions& options, const std::vector<SourceFile>& files,
                               const LiveManifest* live, const std::string& keyText,
                               const std::vector<SuccessionStatement>& chain) {
    if (!options.allowMissingCore) {
        std::string missing;
        for (const std::string& core : coreFileNames()) {
            if (std::none_of(files.begin(), files.end(), [&](const SourceFile& f) { return f.name == core; })) {
                missing += (missing.empty() ? "" : ", ") + core;
            }
        }
        if (!missing.empty()) {
            return "the release has no " + missing +
                   ", which the console updater needs on every machine (add it, or give --allow-missing-core "
                   "to publish without it on purpose)";
        }
    }
    if (!live || !live->readable) {
        return {};
    }
    const std::string& name = live->fileName;
    if (live->isSigned && keyText.empty() && !options.allowUnsigned) {
        return name + " is signed and this release would not be, so every machine that checks signatures "
                      "would refuse it (give --key, or --allow-unsigned to publish it unsigned on purpose)";
    }
    if (live->isSigned && !keyText.empty() && !options.allowNewKey) {
        std::set<std::string> vouched = live->keys;
        vouched.insert(live->publicKey);
        addVouchedKeys(vouched, chain);
        if (!vouched.count(keyTextWithoutBlanks(keyText))) {
            return name + " is signed with key " + keyId(live->publicKey) + ", and neither it nor a key-succession "
                          "statement vouches for key " + keyId(keyText) +
                          " (give the chain with --key-succession, or --allow-new-key after losing the old key)";
        }
    }
    const int order = compareVersionBuild(options.version, options.build, live->version, live->build);
    const bool signedChannel = live->isSigned && !keyText.empty();
    if (signedChannel && order <= 0 && (order == 0 || options.replace)) {
        // Releases are ordered by their signed version and build alone: two signings of one release are
        // interchangeable to the machines, so the older one could be served in place of the newer.
        return name + " is signed for " + releaseName(live->version, live->build) + "; " +
               releaseName(options.version, options.build) +
               " would be a second signing of a release that is not newer, which can be replayed: publish a "
               "higher build (to withdraw a release, publish its fix or the previous files under a higher build)";
    }
    if (order <= 0 && !options.allowOlder) {
        return releaseName(options.version, options.build) + " is not newer than " +
               releaseName(live->version, live->build) + " in " + name +
               " (raise --build, or give --allow-older to publish it on purpose)";
    }
    return {};
}

// True when folder holds every staged file with the same content, and its archive where one is written.
bool holdsSameFiles(const fs::path& folder, const std::vector<SourceFile>& files) {
    for (const SourceFile& file : files) {
        Digest digest;
        std::string ignored;
        std::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(folder / file.name, ec)) ||
            !digestFile(folder / file.name, digest, ignored) || digest.size != file.published.size ||
            digest.sha256 != file.published.sha256 ||
            (file.published.archived && !fs::is_regular_file(folder / (file.name + ".zip"), ec))) {
            return false;
        }
    }
    return true;
}

// A manifest still lists a file from the folder that the new files would change or drop.
std::string changedListedFile(const LiveManifest& live, const std::string& folderName,
                              const std::vector<SourceFile>& files) {
    for (const LiveEntry& entry : live.entries) {
        if (entry.folder != folderName) {
            continue;
        }
        const auto match = std::find_if(files.begin(), files.end(), [&](const SourceFile& f) {
            return f.name == entry.name && std::to_string(f.published.size) == entry.size &&
                   f.published.sha256 == asciiLower(entry.sha256);
        });
        if (match == files.end()) {
            return entry.name;
        }
    }
    return {};
}

} // namespace

bool publishRelease(const PublishOptions& options, PublishResult& result, std::string& error) {
    result = PublishResult{};
    for (const auto& [what, value, mayBeEmpty] :
         {std::tuple{"the version", &options.version, false}, std::tuple{"the build", &options.build, false},
          std::tuple{"the channel", &options.channel, true}}) {
        const std::string why = checkToken(what, *value, mayBeEmpty);
        if (!why.empty()) {
            error = why;
            return false;
        }
    }
    if (options.zipLevel < 0 || options.zipLevel > 9) {
        error = "the ZIP level must be 0..9";
        return false;
    }
    if (options.expiresInDays > 3650) {
        error = "a manifest expires after at most 3650 days";
        return false;
    }
    // The key and the chain are read first, so a wrong file is named before any work is done.
    std::optional<RsaPrivateKey> key;
    std::string keyText;
    if (!options.privateKey.empty()) {
        key.emplace();
        if (!readPrivateKey(options.privateKey, "--key", *key, error)) {
            return false;
        }
        keyText = key->publicKeyForUpdater();
    }
    std::vector<SuccessionStatement> chain;
    if (!options.keySuccession.empty()) {
        OrderedJson ignored;
        if (!readChainFile(options.keySuccession, false, ignored, chain, error)) {
            return false;
        }
        if (chain.empty()) {
            error = options.keySuccession.string() + ": the chain holds no statement";
            return false;
        }
        if (keyText.empty()) {
            error = "--key-succession needs --key: the manifest must be signed with a key of the chain's last "
                    "statement";
            return false;
        }
        const std::vector<std::string>& last = chain.back().keys;
        if (std::find(last.begin(), last.end(), keyText) == last.end()) {
            error = "the signing key " + keyId(keyText) + " is not one of the keys the chain's last statement "
                    "(sequence " + std::to_string(chain.back().sequence) + ") vouches for";
            return false;
        }
    }
    std::vector<SourceFile> files;
    if (!collectFiles(options, files, result.hiddenFiles, error)) {
        return false;
    }

    std::error_code ec;
    TreeLock lock;
    const bool treeExists = fs::is_directory(options.serverRoot, ec);
    if (treeExists && !lock.acquire(options.serverRoot, error)) {
        return false;
    }
    const std::vector<LiveManifest> manifests =
        treeExists ? readLiveManifests(options.serverRoot) : std::vector<LiveManifest>{};
    const std::string manifestName = manifestFileName(options.channel);
    const auto liveIt = std::find_if(manifests.begin(), manifests.end(),
                                     [&](const LiveManifest& m) { return m.fileName == manifestName; });
    const LiveManifest* live = liveIt == manifests.end() ? nullptr : &*liveIt;
    std::set<std::string> knownKeys;
    if (!keyText.empty()) {
        knownKeys.insert(keyText);
    }
    if (live && live->isSigned) {
        knownKeys.insert(live->keys.begin(), live->keys.end());
        knownKeys.insert(live->publicKey);
    }
    error = unverifiedStatement(chain, knownKeys);
    if (!error.empty()) {
        error = options.keySuccession.string() + ": " + error;
        return false;
    }
    error = refusalAgainstLive(options, files, live, keyText, chain);
    if (!error.empty()) {
        return false;
    }
    const fs::path updates = options.serverRoot / "updates";
    const std::string folderName = options.version + "." + options.build;
    const fs::path finalFolder = updates / folderName;
    const bool folderExists = fs::exists(fs::symlink_status(finalFolder, ec));
    if (folderExists && options.replace) {
        for (const LiveManifest& other : manifests) {
            if (other.fileName != manifestName && other.folders().count(folderName)) {
                error = finalFolder.string() + " is still named by " + other.fileName +
                        "; replacing it would break that channel (publish a higher build instead)";
                return false;
            }
        }
    }

    // Nothing has been written so far. From here on the tree changes.
    fs::create_directories(updates, ec);
    if (ec) {
        error = updates.string() + ": " + ec.message();
        return false;
    }
    if (!treeExists && !lock.acquire(options.serverRoot, error)) {
        return false;
    }
    result.leftoversRemoved = removeLeftovers(options.serverRoot);
    const fs::path staging = updates / ("." + folderName + ".staging-" + std::to_string(::getpid()));
    removeQuietly(staging);
    if (!fs::create_directory(staging, ec)) {
        error = staging.string() + ": " + (ec ? ec.message() : std::string("cannot be created"));
        return false;
    }
    if (!stageAll(files, staging, options, error) ||
        !buildManifest(options, files, key ? &*key : nullptr, chain, result, error)) {
        removeQuietly(staging);
        return false;
    }

    // Refuse to publish anything the updater would misread; this also guards the writer itself.
    const ManifestCheckResult check = checkManifest(result.manifestText);
    if (!check.ok() || (result.signedManifest && check.signature.verdict != SignatureVerdict::Passed)) {
        for (const Problem& p : check.problems) {
            if (p.blocking) {
                error = "the manifest written would not be read correctly: " + p.message;
                break;
            }
        }
        if (error.empty()) {
            error = "the signature of the manifest written does not verify";
        }
        removeQuietly(staging);
        return false;
    }

    // A folder that exists already is kept when it holds these very files (the same release offered on
    // another channel, or a publish that stopped before its manifest); it is only replaced on request, and
    // never while a manifest lists a file from it that would change.
    bool exchange = false;
    if (folderExists) {
        if (holdsSameFiles(finalFolder, files)) {
            result.reusedFolder = true;
            removeQuietly(staging);
        } else if (!options.replace) {
            error = finalFolder.string() + ": already published with other files (publish a higher build, or "
                                           "give --replace to replace a folder no manifest still lists)";
            removeQuietly(staging);
            return false;
        } else {
            const std::string changed = live ? changedListedFile(*live, folderName, files) : std::string();
            if (!changed.empty()) {
                error = manifestName + " lists " + changed + " from " + finalFolder.string() +
                        ", which this release changes; publish a higher build instead";
                removeQuietly(staging);
                return false;
            }
            exchange = true;
        }
    }

    // The files reach the disk before any name points at them, and the release folder's own name before
    // the manifest that lists its files is moved into place.
    if (!result.reusedFolder && !syncFolder(staging, true, error)) {
        removeQuietly(staging);
        return false;
    }
    stopPoint("staged");
    if (exchange) {
        // One atomic swap: every manifest that lists files from the folder sees the same files before and
        // after it (checked above), and the folder is never missing.
        if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, finalFolder.c_str(), RENAME_EXCHANGE) != 0) {
            error = describeErrno(finalFolder, errno) + " (cannot swap in the new release folder)";
            removeQuietly(staging);
            return false;
        }
    } else if (!result.reusedFolder) {
        fs::rename(staging, finalFolder, ec);
        if (ec) {
            error = finalFolder.string() + ": " + ec.message();
            removeQuietly(staging);
            return false;
        }
    }
    stopPoint("folder-in-place");
    result.manifestPath = options.serverRoot / manifestFileName(options.channel);
    fs::path temporary;
    if (!syncFolder(updates, false, error) ||
        !writeSyncedTemporary(result.manifestPath, result.manifestText, temporary, error)) {
        // The new folder stays: no manifest lists it, and a later publish of the same files takes it over.
        removeQuietly(staging);
        return false;
    }
    stopPoint("manifest-written");
    if (::rename(temporary.c_str(), result.manifestPath.c_str()) != 0) {
        error = describeErrno(result.manifestPath, errno);
        ::unlink(temporary.c_str());
        removeQuietly(staging);
        return false;
    }
    stopPoint("manifest-in-place");
    // The manifest's new name on disk; published either way, so a failure here changes nothing.
    std::string ignored;
    syncFolder(options.serverRoot, false, ignored);
    removeQuietly(staging); // after a swap: the replaced files
    result.releaseDirectory = finalFolder;
    for (const SourceFile& file : files) {
        result.files.push_back(file.published);
        result.totalBytes += file.published.size;
    }
    return true;
}

} // namespace vesk::release
