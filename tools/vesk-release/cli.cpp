#include "cli.h"

#include "encoding.h"
#include "file_util.h"
#include "http_fetch.h"
#include "json_layout.h"
#include "key_succession.h"
#include "manifest_check.h"
#include "publish.h"
#include "rsa_keys.h"
#include "rule_citation.h"
#include "server_files.h"
#include "signature_report.h"

#include "integrity/manifest_trust.h"

#include <map>
#include <optional>

namespace vesk::release {

namespace {

const char* const kMainHelp = R"(Usage: vesk-release <command> [options]

Publishes releases for the VESK updater and checks that the updater reads them correctly.

Commands:
  keygen      create an RSA key pair for signing manifests
  publish     write a release into an update server tree (files, ZIP archives, manifest)
  check       check a manifest (a file or a loopback URL) and the files it lists
  succession  append a signed key-succession statement to a chain file (changing keys)

Run "vesk-release <command> --help" for the options of a command.
Exit codes: 0 success, 1 failure or problems found, 2 wrong command line.
)";

const char* const kKeygenHelp =
    R"(Usage: vesk-release keygen --out <folder> [--name <name>] [--bits <n>] [--force]

Creates an RSA key pair for signing manifests:
  <folder>/<name>.pem       the private key (PKCS #8 PEM, readable by its owner only)
  <folder>/<name>.pub.pem   the public key (PEM)
  <folder>/<name>.pub.txt   the public key as the updater takes it: Base64 of
                            <RSAKeyValue><Modulus>..</Modulus><Exponent>..</Exponent></RSAKeyValue>
It also prints the CMake option that builds an updater trusting only manifests signed with this key
(-DVESK_TRUSTED_PUBLIC_KEY=<the .pub.txt text>).

Options:
  --out <folder>   where to write the keys (created if missing)
  --name <name>    base name of the files (default: vesk-release)
  --bits <n>       key size, 2048 to 16384 (default: 3072)
  --force          replace existing key files (otherwise they are never overwritten)
)";

const char* const kPublishHelp =
    R"(Usage: vesk-release publish --from <folder> --version <v> --build <b> --out <server root> [options]

Writes a release into an update server tree:
  <server root>/updates/<v>.<b>/<name> and <name>.zip for every file of <folder>
  <server root>/manifest.json (default channel) or manifest-<channel>.json
Files in subfolders of <folder> get a "target_path" with backslashes (plugins\x.dll). Hidden files (names
starting with ".") are left out and listed; symbolic links and special files are refused.
Before anything is written, the release is held against the channel's live manifest in the tree: it is
refused when that one is signed and this one would not be, when its key is neither the live key nor one a
key-succession statement vouches for, when it is not newer, and when a core file of the console updater
(Updater.exe, libcurl.dll, libsodium.dll, zlib1.dll) is missing. In a signed channel the same version and
build are never signed twice: publish a higher build.
Everything is written under temporary names and moved into place at the end, the manifest last, so a
publish stopped at any point leaves every manifest naming files that are there; the next publish removes
what it left. The manifest is checked as "check" would before it is written; publishing stops on any
problem.

Options:
  --from <folder>            the release files
  --version <v>              release version, for example 2.1
  --build <b>                build number, for example 345
  --channel <name>           channel; "" or "stable" is the default channel (manifest.json)
  --out <server root>        the server tree to write into (created if missing)
  --key <private.pem>        sign the manifest (RSA-SHA256); without it the signature block is a placeholder
  --signer <text>            signer named in the signature block
  --url <name>=<url>         give one file an explicit download location (repeatable)
  --target-path <name>=<p>   install one file at another path below the install folder (repeatable)
  --zip-level <0-9>          deflate level of the archives (default 3; 0 stores, 9 packs tightest)
  --threads <n>              files processed at once (default: one per processor)
  --expires-in <days>        the manifest expires after this many days (1..3650); trusted-release
                             programs refuse it from then on
  --key-succession <chain>   carry this key-succession chain (see "succession"); --key must be a key
                             of its last statement
  --replace                  replace the folder of a version and build published before (refused while
                             a manifest lists a file of it that would change)
  --allow-unsigned           publish unsigned although the live manifest is signed
  --allow-older              publish a release that is not newer than the live one
  --allow-missing-core       publish without one of the console updater's core files
  --allow-new-key            sign with a key nothing in the live manifest vouches for (after losing the
                             old key; the machines must get a program built with the new key otherwise)
)";

const char* const kSuccessionHelp =
    R"(Usage: vesk-release succession --key <current.pem> --new-key <new.pub.txt> [--new-key ...]
                              [--retire <old.pub.txt> ...] --chain <chain.json>

Appends one signed statement to a key-succession chain (a JSON array; created when missing): the current
key vouches for the keys given with --new-key and retires those given with --retire. Publish the chain
with "publish --key-succession <chain.json>", signed with one of the new keys; trusted-release programs
then follow it from the keys they trust to the new ones.

Options:
  --key <private.pem>       the current key (the first statement: a key the programs were built with;
                            later ones: a key the last statement vouches for)
  --new-key <pub.txt>       a key the statement vouches for (repeatable; keep the current key among them
                            to go on signing with it)
  --retire <pub.txt>        a key the programs stop trusting (repeatable)
  --chain <chain.json>      the chain file to append to
)";

const char* const kCheckHelp =
    R"(Usage: vesk-release check <manifest file | http://127.0.0.1:port/manifest.json> [options]

Reads the manifest with a JSON parser and with the updater's own text search, and reports:
  - every file entry the updater misses or reads differently,
  - every manifest writing rule the text breaks,
  - the signature check's outcome, in the updater's own log lines,
  - for a server tree, every file (plain or inside its ZIP archive) whose size or SHA-256 differs.
A manifest file is checked with its server tree when an "updates" folder stands beside it; a URL (loopback
servers only) with the files on that server.

Options:
  --tree <folder>        check the files in this server tree
  --no-files             check the manifest only
  --require-signature    treat an unsigned manifest as a problem
  --trusted-key <files>  also judge the manifest as an updater built with these keys (the <name>.pub.txt
                         of keygen, several separated by commas) would: "Manifest trusted: ..." or
                         "Manifest not trusted: ..."; only this confirms who signed it
  --newer-than <v>/<b>   with --trusted-key: the last release that updater trusted, as VERSION/BUILD
                         (3.0/12) or VERSION alone (3.0)
  --verbose              also show what the updater reads for every entry

Exit code 0 only when the updater reads everything correctly (and the files match, and with
--trusted-key the manifest is trusted).
)";

struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> values;
    std::map<std::string, bool> flags;
};

// Splits "--name value", "--name=value" and flags; anything unknown, and an option given twice that is
// not one of the repeatable ones, is an error naming the option.
bool parseArguments(const std::vector<std::string>& args, size_t from,
                    const std::vector<std::string>& valueOptions, const std::vector<std::string>& flagOptions,
                    Arguments& parsed, std::string& error, const std::vector<std::string>& repeatable = {}) {
    auto isOneOf = [](const std::string& name, const std::vector<std::string>& list) {
        for (const std::string& item : list) {
            if (item == name) {
                return true;
            }
        }
        return false;
    };
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            parsed.positional.push_back(arg);
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if ((parsed.flags.count(name) || parsed.values.count(name)) && !isOneOf(name, repeatable)) {
            error = "option " + name + " is given twice";
            return false;
        }
        if (isOneOf(name, flagOptions)) {
            if (equals != std::string::npos) {
                error = "option " + name + " takes no value";
                return false;
            }
            parsed.flags[name] = true;
        } else if (isOneOf(name, valueOptions)) {
            if (equals != std::string::npos) {
                parsed.values[name].push_back(arg.substr(equals + 1));
            } else if (i + 1 < args.size()) {
                parsed.values[name].push_back(args[++i]);
            } else {
                error = "option " + name + " needs a value";
                return false;
            }
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    return true;
}

std::optional<std::string> single(const Arguments& parsed, const std::string& name) {
    const auto it = parsed.values.find(name);
    if (it == parsed.values.end() || it->second.empty()) {
        return std::nullopt;
    }
    return it->second.back();
}

bool parseSmallNumber(const std::string& text, int low, int high, int& value) {
    std::uint64_t n = 0;
    if (!parseDecimal(text, n) || n < static_cast<std::uint64_t>(low) ||
        n > static_cast<std::uint64_t>(high)) {
        return false;
    }
    value = static_cast<int>(n);
    return true;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

int usage(std::ostream& err, const std::string& command, const std::string& message) {
    err << "vesk-release " << command << ": " << message << "\n"
        << "Run \"vesk-release " << command << " --help\" for usage.\n";
    return kExitUsage;
}

int runKeygen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Arguments parsed;
    std::string error;
    if (!parseArguments(args, 1, {"--out", "--name", "--bits"}, {"--force", "--help"}, parsed, error)) {
        return usage(err, "keygen", error);
    }
    if (parsed.flags["--help"]) {
        out << kKeygenHelp;
        return kExitOk;
    }
    if (!parsed.positional.empty()) {
        return usage(err, "keygen", "unexpected argument " + parsed.positional.front());
    }
    const auto folder = single(parsed, "--out");
    if (!folder) {
        return usage(err, "keygen", "--out <folder> is required");
    }
    const std::string name = single(parsed, "--name").value_or("vesk-release");
    if (unpublishableName(name) != "" || name.find('/') != std::string::npos) {
        return usage(err, "keygen", "--name must be a plain file name");
    }
    int bits = 3072;
    if (const auto text = single(parsed, "--bits");
        text && !parseSmallNumber(*text, kMinimumRsaBits, kMaximumRsaBits, bits)) {
        return usage(err, "keygen",
                     "--bits must be a number from " + std::to_string(kMinimumRsaBits) + " to " +
                         std::to_string(kMaximumRsaBits));
    }
    const ExistingFile existing = parsed.flags["--force"] ? ExistingFile::Replace : ExistingFile::Keep;
    const fs::path dir(*folder);
    const fs::path privatePath = dir / (name + ".pem");
    const fs::path publicPath = dir / (name + ".pub.pem");
    const fs::path updaterPath = dir / (name + ".pub.txt");
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        err << "vesk-release keygen: " << dir.string() << ": " << ec.message() << "\n";
        return kExitFailure;
    }
    if (existing == ExistingFile::Keep) {
        for (const fs::path& path : {privatePath, publicPath, updaterPath}) {
            if (fs::exists(path, ec)) {
                err << "vesk-release keygen: " << path.string()
                    << ": already exists (not overwritten; use --force to replace the key)\n";
                return kExitFailure;
            }
        }
    }
    RsaKeyPairPem pair;
    if (!generateRsaKeyPair(bits, pair, error)) {
        err << "vesk-release keygen: " << error << "\n";
        return kExitFailure;
    }
    RsaPrivateKey key;
    if (!key.load(pair.privatePem, "generated key", error)) {
        err << "vesk-release keygen: " << error << "\n";
        return kExitFailure;
    }
    const std::string updaterForm = key.publicKeyForUpdater();
    if (!writeFileAtomically(privatePath, pair.privatePem, error, existing, 0600) ||
        !writeFileAtomically(publicPath, pair.publicPem, error, existing) ||
        !writeFileAtomically(updaterPath, updaterForm + "\n", error, existing)) {
        err << "vesk-release keygen: " << error << "\n";
        return kExitFailure;
    }
    out << "Private key:           " << privatePath.string() << " (" << bits << " bits; keep it secret)\n"
        << "Public key (PEM):      " << publicPath.string() << "\n"
        << "Public key (updater):  " << updaterPath.string() << "\n"
        << "Trusted-release build: -DVESK_TRUSTED_PUBLIC_KEY=" << updaterForm << "\n";
    return kExitOk;
}

bool splitAssignment(const std::string& text, std::string& name, std::string& value) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        return false;
    }
    name = text.substr(0, equals);
    value = text.substr(equals + 1);
    return true;
}

int runPublish(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Arguments parsed;
    std::string error;
    if (!parseArguments(args, 1,
                        {"--from", "--version", "--build", "--channel", "--out", "--key", "--signer", "--url",
                         "--target-path", "--zip-level", "--threads", "--expires-in", "--key-succession"},
                        {"--replace", "--allow-unsigned", "--allow-older", "--allow-missing-core", "--allow-new-key",
                         "--help"},
                        parsed, error, {"--url", "--target-path"})) {
        return usage(err, "publish", error);
    }
    if (parsed.flags["--help"]) {
        out << kPublishHelp;
        return kExitOk;
    }
    if (!parsed.positional.empty()) {
        return usage(err, "publish", "unexpected argument " + parsed.positional.front());
    }
    PublishOptions options;
    for (const char* required : {"--from", "--version", "--build", "--out"}) {
        if (!single(parsed, required)) {
            return usage(err, "publish", std::string(required) + " is required");
        }
    }
    options.releaseFolder = *single(parsed, "--from");
    options.version = *single(parsed, "--version");
    options.build = *single(parsed, "--build");
    options.serverRoot = *single(parsed, "--out");
    options.channel = single(parsed, "--channel").value_or("");
    options.privateKey = single(parsed, "--key").value_or("");
    options.signer = single(parsed, "--signer").value_or("");
    options.replace = parsed.flags["--replace"];
    options.allowUnsigned = parsed.flags["--allow-unsigned"];
    options.allowOlder = parsed.flags["--allow-older"];
    options.allowMissingCore = parsed.flags["--allow-missing-core"];
    options.allowNewKey = parsed.flags["--allow-new-key"];
    options.keySuccession = single(parsed, "--key-succession").value_or("");
    if (const auto days = single(parsed, "--expires-in")) {
        int count = 0;
        if (!parseSmallNumber(*days, 1, 3650, count)) {
            return usage(err, "publish", "--expires-in takes a number of days from 1 to 3650");
        }
        options.expiresInDays = static_cast<unsigned>(count);
    }
    if (const auto level = single(parsed, "--zip-level");
        level && !parseSmallNumber(*level, 0, 9, options.zipLevel)) {
        return usage(err, "publish", "--zip-level must be 0..9");
    }
    if (const auto threads = single(parsed, "--threads")) {
        int count = 0;
        if (!parseSmallNumber(*threads, 1, 256, count)) {
            return usage(err, "publish", "--threads must be 1..256");
        }
        options.threads = static_cast<unsigned>(count);
    }
    for (const auto& [option, target] :
         {std::pair{"--url", &options.urls}, std::pair{"--target-path", &options.targetPaths}}) {
        const auto it = parsed.values.find(option);
        if (it == parsed.values.end()) {
            continue;
        }
        for (const std::string& item : it->second) {
            std::string name, value;
            if (!splitAssignment(item, name, value)) {
                return usage(err, "publish",
                             std::string(option) + " takes <name>=<value>, not \"" + item + "\"");
            }
            (*target)[name] = value;
        }
    }
    PublishResult result;
    const bool published = publishRelease(options, result, error);
    for (const std::string& name : result.leftoversRemoved) {
        out << "Removed " << name << ", left by an interrupted publish\n";
    }
    if (!published) {
        err << "vesk-release publish: " << error << "\n";
        return kExitFailure;
    }
    for (const std::string& name : result.hiddenFiles) {
        out << "Left out hidden file " << name << "\n";
    }
    out << "Published " << options.version << "." << options.build << " ("
        << (options.channel.empty() ? std::string("stable") : options.channel) << "): " << result.files.size()
        << " files, " << result.totalBytes << " bytes\n"
        << "  manifest: " << result.manifestPath.string()
        << (result.signedManifest ? " (signed)" : " (unsigned)") << "\n"
        << "  files:    " << result.releaseDirectory.string()
        << (result.reusedFolder ? " (already there with the same files)" : "") << "\n";
    for (const PublishedFile& file : result.files) {
        if (!file.archived) {
            out << "  no archive for " << file.name
                << " (larger than the updater unpacks; it downloads the plain file)\n";
        }
    }
    return kExitOk;
}

int runSuccession(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Arguments parsed;
    std::string error;
    if (!parseArguments(args, 1, {"--key", "--new-key", "--retire", "--chain"}, {"--help"}, parsed, error,
                        {"--new-key", "--retire"})) {
        return usage(err, "succession", error);
    }
    if (parsed.flags["--help"]) {
        out << kSuccessionHelp;
        return kExitOk;
    }
    if (!parsed.positional.empty()) {
        return usage(err, "succession", "unexpected argument " + parsed.positional.front());
    }
    for (const char* required : {"--key", "--new-key", "--chain"}) {
        if (!single(parsed, required)) {
            return usage(err, "succession", std::string(required) + " is required");
        }
    }
    RsaPrivateKey key;
    if (!readPrivateKey(*single(parsed, "--key"), "--key", key, error)) {
        err << "vesk-release succession: " << error << "\n";
        return kExitFailure;
    }
    std::vector<std::string> lists[2];
    const char* const listOptions[2] = {"--new-key", "--retire"};
    for (int i = 0; i < 2; ++i) {
        for (const std::string& file : parsed.values[listOptions[i]]) {
            std::string keyText;
            if (!readPublicKeyText(file, listOptions[i], keyText, error)) {
                err << "vesk-release succession: " << error << "\n";
                return kExitFailure;
            }
            lists[i].push_back(keyText);
        }
    }
    const fs::path chainPath = *single(parsed, "--chain");
    OrderedJson chain;
    std::vector<SuccessionStatement> statements;
    if (!readChainFile(chainPath, true, chain, statements, error) ||
        !appendStatement(statements, key, lists[0], lists[1], error) ||
        !writeFileAtomically(chainPath, chainJson(statements).dump(2) + "\n", error)) {
        err << "vesk-release succession: " << error << "\n";
        return kExitFailure;
    }
    const SuccessionStatement& added = statements.back();
    out << "Statement " << added.sequence << " appended to " << chainPath.string() << ": signed by key "
        << added.signedBy << "\n";
    for (const std::string& k : added.keys) {
        out << "  vouches for key " << keyId(k) << "\n";
    }
    for (const std::string& k : added.retire) {
        out << "  retires key " << keyId(k) << "\n";
    }
    return kExitOk;
}

std::string baseOfManifestUrl(const std::string& url) {
    const std::string withoutQuery = url.substr(0, url.find_first_of("?#"));
    const size_t slash = withoutQuery.rfind('/');
    const size_t authority = withoutQuery.find("://");
    if (slash == std::string::npos || (authority != std::string::npos && slash < authority + 3)) {
        return withoutQuery;
    }
    return withoutQuery.substr(0, slash);
}

int runCheck(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Arguments parsed;
    std::string error;
    if (!parseArguments(args, 1, {"--tree", "--trusted-key", "--newer-than"},
                        {"--no-files", "--require-signature", "--verbose", "--help"}, parsed, error)) {
        return usage(err, "check", error);
    }
    if (parsed.flags["--help"]) {
        out << kCheckHelp;
        return kExitOk;
    }
    if (parsed.positional.size() != 1) {
        return usage(err, "check", "give exactly one manifest file or URL");
    }
    const std::string source = parsed.positional.front();
    const bool isUrl = source.rfind("http://", 0) == 0 || source.rfind("https://", 0) == 0;
    if (parsed.flags["--no-files"] && single(parsed, "--tree")) {
        return usage(err, "check", "--tree and --no-files exclude each other");
    }
    std::vector<std::string> trustedKeys;
    std::optional<vesk::updater::ReleaseIdentity> newerThan;
    if (const auto keyFiles = single(parsed, "--trusted-key")) {
        for (size_t start = 0; start <= keyFiles->size();) {
            const size_t comma = std::min(keyFiles->find(',', start), keyFiles->size());
            std::string keyText;
            if (!readPublicKeyText(trimmed(keyFiles->substr(start, comma - start)), "--trusted-key", keyText,
                                   error)) {
                err << "vesk-release check: " << error << "\n";
                return kExitFailure;
            }
            trustedKeys.push_back(keyText);
            start = comma + 1;
        }
    }
    if (const auto release = single(parsed, "--newer-than")) {
        if (trustedKeys.empty()) {
            return usage(err, "check", "--newer-than needs --trusted-key");
        }
        const size_t slash = release->find('/');
        vesk::updater::ReleaseIdentity identity;
        identity.version = release->substr(0, slash);
        identity.build = slash == std::string::npos ? std::string() : release->substr(slash + 1);
        auto plain = [](const std::string& token) {
            return isPlainToken(token) && token[0] != '.' && token[0] != '-';
        };
        if (!plain(identity.version) || (slash != std::string::npos && !plain(identity.build))) {
            return usage(err, "check",
                         "--newer-than takes VERSION/BUILD (3.0/12) or VERSION (3.0), not \"" + *release + "\"");
        }
        newerThan = identity;
    }

    std::string text;
    std::string httpProblem;
    std::unique_ptr<ServerFiles> server;
    std::string serverName;
    if (isUrl) {
        if (!isLoopbackHttpUrl(source)) {
            return usage(err, "check", source + ": only http:// URLs on a loopback address are read");
        }
        int status = 0;
        if (!httpGetText(source, text, status, error)) {
            err << "vesk-release check: " << error << "\n";
            return kExitFailure;
        }
        if (status != 200) {
            // The updater takes whatever body arrives as the manifest; a publisher wants to know.
            httpProblem = source + ": error: the server answers with status " + std::to_string(status) +
                          "; the updater would take this response body as the manifest";
        }
        if (!parsed.flags["--no-files"] && !single(parsed, "--tree")) {
            serverName = baseOfManifestUrl(source);
            server = loopbackServer(serverName);
        }
    } else if (!readWholeFile(source, text, error)) {
        err << "vesk-release check: " << error << "\n";
        return kExitFailure;
    }
    if (const auto tree = single(parsed, "--tree")) {
        std::error_code ec;
        if (!fs::is_directory(*tree, ec)) {
            err << "vesk-release check: " << *tree << ": not a folder\n";
            return kExitFailure;
        }
        serverName = *tree;
        server = localServerTree(*tree);
    } else if (!isUrl && !parsed.flags["--no-files"]) {
        const fs::path folder =
            fs::path(source).parent_path().empty() ? fs::path(".") : fs::path(source).parent_path();
        std::error_code ec;
        if (fs::is_directory(folder / "updates", ec)) {
            serverName = folder.string();
            server = localServerTree(folder);
        }
    }

    ManifestCheckOptions options;
    options.requireSignature = parsed.flags["--require-signature"];
    const ManifestCheckResult result = checkManifest(text, options);
    size_t errors = 0;
    size_t notes = 0;

    out << "Manifest: " << source << " (" << text.size() << " bytes)\n";
    if (!httpProblem.empty()) {
        out << httpProblem << "\n";
        ++errors;
    }
    if (result.parsed) {
        size_t found = 0;
        for (const CheckedEntry& e : result.entries) {
            found += e.reading.found ? 1 : 0;
        }
        out << "The updater reads: version \"" << result.reading.version << "\", build \""
            << result.reading.build << "\", " << found << " of " << result.entries.size()
            << " file entries found\n";
    }
    const LineIndex lines(text);
    for (const Problem& p : result.problems) {
        out << source;
        if (p.offset != std::string::npos) {
            out << ":" << lines.at(p.offset);
        }
        out << ": " << (p.blocking ? "error" : "note") << ": " << p.message;
        if (p.rule > 0) {
            out << " " << writingRuleCitation(p.rule);
        }
        out << "\n";
        (p.blocking ? errors : notes)++;
    }
    if (parsed.flags["--verbose"]) {
        for (const CheckedEntry& e : result.entries) {
            out << "Entry \"" << e.name << "\": ";
            if (!e.reading.found) {
                out << "not found by the updater\n";
            } else {
                out << "size \"" << e.reading.size << "\", sha256 \"" << e.reading.sha256 << "\", url \""
                    << e.reading.url << "\", target_path \"" << e.reading.targetPath << "\"\n";
            }
            for (const std::string& line : e.reading.searchLog()) {
                out << "    " << line << "\n";
            }
        }
    }
    // Only a key the publisher gives can say who signed the manifest; the block's own key says nothing.
    std::optional<vesk::updater::TrustVerdict> verdict;
    for (const std::string& key : trustedKeys) {
        vesk::updater::TrustVerdict next = vesk::updater::judgeManifestTrust(text, key, newerThan, &verifyLikeUpdater);
        if (!verdict || next.trusted() ||
            (verdict->outcome == vesk::updater::ManifestTrust::DoesNotVerify && !verdict->trusted())) {
            verdict = std::move(next);
        }
    }
    const bool confirmed = verdict && verdict->outcome != vesk::updater::ManifestTrust::DoesNotVerify &&
                           verdict->outcome != vesk::updater::ManifestTrust::Unreadable &&
                           !verdict->release.version.empty();
    out << "Signature check, as the updater logs it:\n";
    for (const SignatureLine& line : result.signature.lines) {
        if (!confirmed && line.text == "     Manifest authenticity confirmed") {
            out << "  [" << line.level << "]      Self-consistent signature, signer not checked (the key is the "
                                           "manifest's own; --trusted-key checks who signed it)\n";
            continue;
        }
        out << "  [" << line.level << "] " << line.text << "\n";
    }
    if (server && result.parsed) {
        const ServerFilesResult files = checkServerFiles(*server, result);
        out << "Server files (" << serverName << "): " << files.filesChecked << " checked\n";
        for (const FileFinding& f : files.findings) {
            out << "  " << (f.blocking ? "error" : "note") << ": " << f.name << ": " << f.message << "\n";
            (f.blocking ? errors : notes)++;
        }
    }
    bool untrusted = false;
    if (verdict) {
        out << "A trusted-release updater with this key logs:\n  " << vesk::updater::trustVerdictLine(*verdict)
            << "\n";
        untrusted = !verdict->trusted();
        if (confirmed) {
            out << "Signer: authenticity confirmed with the trusted key\n";
        }
    }
    if (untrusted) {
        // Not a reading problem: the release reads fine but the updater would act on none of it.
        out << "Result: NOT TRUSTED - a trusted-release updater with this key installs nothing from this release";
        out << (errors == 0 ? std::string()
                            : "; besides, " + std::to_string(errors) + (errors == 1 ? " problem" : " problems") +
                                  " - the updater would not read this release correctly")
            << "\n";
        return kExitFailure;
    }
    if (errors == 0) {
        out << "Result: OK - the updater reads everything correctly"
            << (notes ? " (see the notes above)" : "") << "\n";
        return kExitOk;
    }
    out << "Result: " << errors << (errors == 1 ? " problem" : " problems")
        << " - the updater would not read this release correctly\n";
    return kExitFailure;
}

} // namespace

int runCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << kMainHelp;
        return kExitUsage;
    }
    const std::string& command = args.front();
    if (command == "--help" || command == "-h" || command == "help") {
        if (args.size() > 1) {
            return runCli({args[1], "--help"}, out, err);
        }
        out << kMainHelp;
        return kExitOk;
    }
    if (command == "keygen") {
        return runKeygen(args, out, err);
    }
    if (command == "publish") {
        return runPublish(args, out, err);
    }
    if (command == "check") {
        return runCheck(args, out, err);
    }
    if (command == "succession") {
        return runSuccession(args, out, err);
    }
    err << "vesk-release: unknown command \"" << command << "\"\n" << kMainHelp;
    return kExitUsage;
}

} // namespace vesk::release
