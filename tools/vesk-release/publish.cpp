#include "publish.h"

#include "encoding.h"
#include "manifest_check.h"
#include "rsa_keys.h"
#include "signature_report.h"
#include "zip_archive.h"

#include "transfer/zip_reader.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <mutex>
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

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::gmtime_r(&now, &parts);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return buffer;
}

bool collectFiles(const PublishOptions& options, std::vector<SourceFile>& files, std::string& error) {
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
        if (it->is_directory(ec)) {
            continue;
        }
        if (!it->is_regular_file(ec)) {
            error = path.string() + ": not a regular file";
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
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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
        // Compressed libraries and archives do not shrink; a sample tells them apart cheaply.
        const bool deflate = deflateWorthwhileSampled(source.data(), source.size(), zipLevel);
        if (!writeSingleEntryZip(staging / (file.name + ".zip"), file.name, source.data(), source.size(),
                                 deflate, zipLevel, dosDateTime(file.modified), file.error)) {
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

bool buildManifest(const PublishOptions& options, const std::vector<SourceFile>& files, PublishResult& result,
                   std::string& error) {
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
    if (!options.privateKey.empty()) {
        std::string pem;
        if (!readWholeFile(options.privateKey, pem, error)) {
            return false;
        }
        RsaPrivateKey key;
        if (!key.load(pem, options.privateKey.string(), error)) {
            return false;
        }
        std::string signatureText;
        // The updater verifies the compact serialization of exactly this object, members in this order.
        if (!key.signBase64(manifest.dump(), signatureText, error)) {
            return false;
        }
        signature["signature"] = signatureText;
        signature["public_key"] = key.publicKeyForUpdater();
        result.signedManifest = true;
    } else {
        signature["signature"] = "placeholder";
        signature["public_key"] = "placeholder";
    }
    signature["timestamp"] = options.timestamp.empty() ? utcNow() : options.timestamp;
    signature["signer"] = options.signer;

    Json document = Json::object();
    document["manifest"] = std::move(manifest);
    document["signature"] = std::move(signature);
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
    std::vector<SourceFile> files;
    if (!collectFiles(options, files, error)) {
        return false;
    }

    std::error_code ec;
    const fs::path updates = options.serverRoot / "updates";
    fs::create_directories(updates, ec);
    if (ec) {
        error = updates.string() + ": " + ec.message();
        return false;
    }
    const std::string folderName = options.version + "." + options.build;
    const fs::path finalFolder = updates / folderName;
    if (fs::exists(finalFolder, ec) && !options.replace) {
        error = finalFolder.string() +
                ": already published (use --replace to publish this version and build again)";
        return false;
    }
    const fs::path staging = updates / ("." + folderName + ".staging-" + std::to_string(::getpid()));
    removeQuietly(staging);
    if (!fs::create_directory(staging, ec)) {
        error = staging.string() + ": " + (ec ? ec.message() : std::string("cannot be created"));
        return false;
    }
    if (!stageAll(files, staging, options, error) || !buildManifest(options, files, result, error)) {
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

    // The files reach the disk before any name points at them, and the release folder's own name before
    // the manifest that lists its files is moved into place.
    if (!syncFolder(staging, true, error)) {
        removeQuietly(staging);
        return false;
    }
    fs::path previous;
    if (fs::exists(finalFolder, ec)) {
        previous = temporarySibling(updates / ("." + folderName + ".previous"));
        fs::rename(finalFolder, previous, ec);
        if (ec) {
            error = finalFolder.string() + ": cannot be moved aside: " + ec.message();
            removeQuietly(staging);
            return false;
        }
    }
    fs::rename(staging, finalFolder, ec);
    if (ec) {
        error = finalFolder.string() + ": " + ec.message();
        removeQuietly(staging);
        if (!previous.empty()) {
            fs::rename(previous, finalFolder, ec);
        }
        return false;
    }
    result.manifestPath = options.serverRoot / manifestFileName(options.channel);
    if (!syncFolder(updates, false, error) ||
        !writeFileAtomically(result.manifestPath, result.manifestText, error)) {
        // The files stay in place of the previous ones only if the manifest that lists them was written.
        removeQuietly(finalFolder);
        if (!previous.empty()) {
            fs::rename(previous, finalFolder, ec);
        }
        return false;
    }
    // The manifest's new name on disk; published either way, so a failure here changes nothing.
    std::string ignored;
    syncFolder(options.serverRoot, false, ignored);
    if (!previous.empty()) {
        removeQuietly(previous);
    }
    result.releaseDirectory = finalFolder;
    for (const SourceFile& file : files) {
        result.files.push_back(file.published);
        result.totalBytes += file.published.size;
    }
    return true;
}

} // namespace vesk::release
