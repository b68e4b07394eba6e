#include "manifest_check.h"

#include "encoding.h"
#include "json_layout.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>

namespace vesk::release {

namespace {

using Json = nlohmann::ordered_json;

std::string inQuotes(const std::string& text) {
    return "\"" + text + "\"";
}

// Short, single-line rendering of a value for messages.
std::string shown(const std::string& text) {
    std::string out;
    for (const char c : text.substr(0, std::min<size_t>(text.size(), 80))) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += c;
        }
    }
    if (text.size() > 80) {
        out += "...";
    }
    return "\"" + out + "\"";
}

// What the JSON text means for a value, in the form the updater's extraction would give when it reads
// the value correctly: strings decoded, everything else as written.
std::string meaning(const std::string& text, const JsonNode* node) {
    if (!node) {
        return {};
    }
    if (node->kind == JsonNode::Kind::String || node->kind == JsonNode::Kind::Number ||
        node->kind == JsonNode::Kind::Literal) {
        return node->value;
    }
    return text.substr(node->begin, node->end - node->begin);
}

const JsonNode* valueOf(const JsonNode& object, std::string_view key) {
    const JsonMember* m = object.member(key);
    return m ? &m->value : nullptr;
}

bool isWholeNumber(const JsonNode& node) {
    if (node.kind != JsonNode::Kind::Number || node.value.empty()) {
        return false;
    }
    return std::all_of(node.value.begin(), node.value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class Checker {
public:
    Checker(const std::string& text, const ManifestCheckOptions& options, ManifestCheckResult& result)
        : text_(text), options_(options), result_(result) {}

    void run();

private:
    void add(Finding finding, bool blocking, int rule, size_t offset, std::string message) {
        result_.problems.push_back({finding, blocking, rule, offset, std::move(message)});
    }

    // The first occurrence of needle that starts in [begin, end), or npos. Bounded, so that looking at
    // every entry of a long list costs the entries' length, not the rest of the text each time.
    size_t findInScope(std::string_view needle, size_t begin, size_t end) const {
        const size_t limit = std::min(text_.size(), end + needle.size() - 1);
        if (begin >= limit) {
            return std::string::npos;
        }
        const size_t at = std::string_view(text_).substr(begin, limit - begin).find(needle);
        return at == std::string_view::npos ? std::string::npos : begin + at;
    }
    void checkDuplicateKeys(const JsonNode& node);
    void checkKeyLayout(const JsonMember& member, size_t scopeBegin, size_t scopeEnd,
                        bool requireInlineValue);
    void checkAbsentKey(std::string_view key, const JsonNode& scope);
    void checkFilesArrays(const JsonNode& node);
    void checkStringsInFilesArray(const JsonNode& node);
    void checkFilesChoice(const JsonNode& manifestObject);
    void checkEntries(const JsonNode& files);
    void checkEntryShape(const JsonNode& entry, size_t index);
    void compareManifestLevel(const JsonNode& root, const JsonNode& manifestObject, bool hasManifestKey);
    void compareEntries(const JsonNode& files);
    void checkSignature();

    const std::string& text_;
    const LineIndex lines_{text_};
    const ManifestCheckOptions& options_;
    ManifestCheckResult& result_;
};

void Checker::checkDuplicateKeys(const JsonNode& node) {
    if (node.kind == JsonNode::Kind::Object) {
        std::map<std::string, size_t> seen;
        for (const JsonMember& m : node.members) {
            const auto [at, inserted] = seen.emplace(m.key, m.keyBegin);
            if (!inserted) {
                add(Finding::DuplicateKey, true, 0, m.keyBegin,
                    "key " + inQuotes(m.key) + " appears twice in one object (first at " +
                        lines_.at(at->second) +
                        "); the updater's text search takes the first, other JSON readers may take the last");
            }
            checkDuplicateKeys(m.value);
        }
    } else if (node.kind == JsonNode::Kind::Array) {
        for (const JsonNode& item : node.items) {
            checkDuplicateKeys(item);
        }
    }
}

// Rule 1 (and 2, 3) for one key the updater reads: the needle "\"key\":" must be present exactly at the
// member, with only blanks (no line break) before the value, and nothing earlier in the scope the updater
// searches may match the same needle.
void Checker::checkKeyLayout(const JsonMember& member, size_t scopeBegin, size_t scopeEnd,
                             bool requireInlineValue) {
    const std::string& key = member.key;
    if (member.keyEscaped) {
        add(Finding::EscapedKey, true, 1, member.keyBegin,
            "key " + inQuotes(key) +
                " is written with an escape; the updater searches for it literally and does not "
                "find it");
        return;
    }
    if (member.colon != member.keyEnd) {
        add(Finding::SpaceBeforeColon, true, 1, member.keyEnd,
            "key " + inQuotes(key) + " has white space before its colon; the updater does not find it");
    }
    const std::string gap = text_.substr(member.colon + 1, member.value.begin - member.colon - 1);
    if (requireInlineValue && gap.find_first_of("\r\n") != std::string::npos) {
        add(Finding::LineBreakAfterColon, true, 1, member.colon,
            "key " + inQuotes(key) +
                " has a line break between its colon and its value; the updater reads no value");
    }
    if (key == "name" && gap != "" && gap != " " && gap != "  " &&
        gap.find_first_of("\r\n") == std::string::npos) {
        add(Finding::NameSpacing, true, 2, member.colon,
            "\"name\" is followed by " + shown(gap) +
                " before its value; the updater only finds names after no, one "
                "or two spaces");
    }
    const std::string needle = "\"" + key + "\":";
    const size_t first = findInScope(needle, scopeBegin, scopeEnd);
    if (first != std::string::npos && first < member.keyBegin && first < scopeEnd) {
        add(Finding::KeyNotFirst, true, 3, first,
            "the updater reads " + inQuotes(key) + " here, the first occurrence of " + needle +
                ", instead of the member at " + lines_.at(member.keyBegin));
    }
}

// A key the updater reads but the object does not have: any textual occurrence in the searched scope
// (a nested object, for instance) would be read in its place.
void Checker::checkAbsentKey(std::string_view key, const JsonNode& scope) {
    if (scope.member(key)) {
        return;
    }
    const std::string needle = "\"" + std::string(key) + "\":";
    const size_t first = findInScope(needle, scope.begin, scope.end);
    if (first != std::string::npos && first < scope.end) {
        add(Finding::KeyNotFirst, true, 3, first,
            "the object has no " + inQuotes(std::string(key)) +
                " member, but the updater reads the occurrence of " + needle + " here");
    }
}

void Checker::checkStringsInFilesArray(const JsonNode& node) {
    auto raw = [&](size_t begin, size_t end) { return std::string_view(text_).substr(begin, end - begin); };
    if (node.kind == JsonNode::Kind::String) {
        if (raw(node.begin, node.end).find_first_of("[]") != std::string_view::npos) {
            add(Finding::BracketInFilesString, true, 5, node.begin,
                "string " + shown(node.value) +
                    " in a files array holds \"[\" or \"]\", which upsets the updater's "
                    "bracket counting");
        }
        return;
    }
    for (const JsonMember& m : node.members) {
        if (raw(m.keyBegin, m.keyEnd).find_first_of("[]") != std::string_view::npos) {
            add(Finding::BracketInFilesString, true, 5, m.keyBegin,
                "key " + shown(m.key) +
                    " in a files array holds \"[\" or \"]\", which upsets the updater's bracket "
                    "counting");
        }
        checkStringsInFilesArray(m.value);
    }
    for (const JsonNode& item : node.items) {
        checkStringsInFilesArray(item);
    }
}

// Every "files" member anywhere inside the manifest object takes part in the updater's choice of array.
void Checker::checkFilesArrays(const JsonNode& node) {
    for (const JsonMember& m : node.members) {
        if (m.key == "files") {
            if (m.value.kind != JsonNode::Kind::Array) {
                add(Finding::FilesNotArray, true, 5, m.value.begin,
                    "\"files\" holds " +
                        std::string(m.value.kind == JsonNode::Kind::Object ? "an object" : "a plain value") +
                        ", not an array; the updater counts brackets from the next \"[\" after it");
            } else {
                checkStringsInFilesArray(m.value);
            }
        }
        checkFilesArrays(m.value);
    }
    for (const JsonNode& item : node.items) {
        checkFilesArrays(item);
    }
}

// Which "files" occurrence the updater picks: the array spanning the most characters, the first among
// equals, with brackets counted regardless of strings.
void Checker::checkFilesChoice(const JsonNode& manifestObject) {
    const JsonMember* files = manifestObject.member("files");
    if (!files) {
        return;
    }
    const std::string_view scope =
        std::string_view(text_).substr(manifestObject.begin, manifestObject.end - manifestObject.begin);
    // The updater's own choice, in one pass however many "files" keys the object holds.
    const size_t bestAt = vesk::updater::chooseFilesArray(scope).keyOffset;
    if (bestAt != std::string::npos && manifestObject.begin + bestAt != files->keyBegin) {
        add(Finding::FilesChoice, true, 6, manifestObject.begin + bestAt,
            "the updater searches the \"files\" array that starts here (it spans the most characters), not "
            "the "
            "manifest's own list at " +
                lines_.at(files->keyBegin));
    }
}

void Checker::checkEntryShape(const JsonNode& entry, size_t index) {
    const std::string which = "files entry " + std::to_string(index + 1);
    for (const JsonMember& m : entry.members) {
        if (m.value.kind == JsonNode::Kind::Object || m.value.kind == JsonNode::Kind::Array) {
            add(Finding::NestedInEntry, true, 4, m.value.begin,
                which + " holds a nested " + (m.value.kind == JsonNode::Kind::Object ? "object" : "array") +
                    " in " + inQuotes(m.key) +
                    "; the updater cuts the entry at the first \"}\" after its name");
        }
        if (std::string_view(text_).substr(m.keyBegin, m.keyEnd - m.keyBegin).find_first_of("{}") !=
                std::string_view::npos ||
            (m.value.kind == JsonNode::Kind::String &&
             std::string_view(text_).substr(m.value.begin, m.value.end - m.value.begin).find_first_of("{}") !=
                 std::string_view::npos)) {
            add(Finding::BraceInEntryString, true, 4, m.keyBegin,
                which + ": " + inQuotes(m.key) +
                    " holds \"{\" or \"}\" in a string; the updater cuts entries at braces");
        }
    }
}

void Checker::checkEntries(const JsonNode& files) {
    std::map<std::string, size_t> names;
    for (size_t i = 0; i < files.items.size(); ++i) {
        const JsonNode& entry = files.items[i];
        if (entry.kind != JsonNode::Kind::Object) {
            add(Finding::BadValue, true, 0, entry.begin,
                "files entry " + std::to_string(i + 1) + " is not an object");
            continue;
        }
        checkEntryShape(entry, i);
        for (const JsonMember& m : entry.members) {
            if (m.key == "name" || m.key == "size" || m.key == "sha256" || m.key == "url" ||
                m.key == "target_path") {
                checkKeyLayout(m, entry.begin, entry.end, true);
            }
        }
        for (const char* key : {"size", "sha256", "url", "target_path"}) {
            checkAbsentKey(key, entry);
        }

        const JsonMember* name = entry.member("name");
        if (!name || name->value.kind != JsonNode::Kind::String || name->value.value.empty()) {
            add(Finding::BadValue, true, 0, entry.begin,
                "files entry " + std::to_string(i + 1) + " has no \"name\" string");
            continue;
        }
        const std::string& fileName = name->value.value;
        if (name->value.escaped) {
            add(Finding::EscapedName, true, 8, name->value.begin,
                "name " + shown(fileName) +
                    " is written with an escape; the updater searches for the name literally");
        }
        const auto [first, inserted] = names.emplace(fileName, entry.begin);
        if (!inserted) {
            add(Finding::DuplicateName, true, 7, entry.begin,
                "name " + inQuotes(fileName) + " is listed twice (first at " + lines_.at(first->second) +
                    "); the updater reads only one of them");
        }

        const JsonNode* size = valueOf(entry, "size");
        if (!size) {
            add(Finding::Advice, false, 0, entry.begin,
                inQuotes(fileName) + " has no \"size\": the updater makes no size check");
        } else if (size->kind == JsonNode::Kind::String) {
            std::uint64_t ignored;
            if (parseDecimal(size->value, ignored)) {
                add(Finding::Advice, false, 0, size->begin,
                    inQuotes(fileName) +
                        ": \"size\" is written as a string; the updater accepts it, a number is usual");
            } else {
                add(Finding::BadValue, true, 0, size->begin,
                    inQuotes(fileName) + ": \"size\" " + shown(size->value) +
                        " is not a number of bytes; the updater would reject every download of the file");
            }
        } else if (!isWholeNumber(*size)) {
            add(Finding::BadValue, true, 0, size->begin,
                inQuotes(fileName) + ": \"size\" " + shown(meaning(text_, size)) +
                    " is not a whole number of bytes in decimal digits");
        }
        const JsonNode* sha = valueOf(entry, "sha256");
        if (!sha) {
            add(Finding::Advice, false, 0, entry.begin,
                inQuotes(fileName) + " has no \"sha256\": the updater cannot verify its content");
        } else if (sha->kind != JsonNode::Kind::String || !isSha256Text(sha->value)) {
            add(Finding::BadValue, true, 0, sha->begin,
                inQuotes(fileName) + ": \"sha256\" " + shown(meaning(text_, sha)) +
                    " is not 64 hexadecimal digits");
        }
        for (const char* key : {"url", "target_path"}) {
            const JsonNode* value = valueOf(entry, key);
            if (value && value->kind != JsonNode::Kind::String) {
                add(Finding::BadValue, true, 0, value->begin,
                    inQuotes(fileName) + ": " + inQuotes(key) + " is not a string");
            }
        }
    }
}

void Checker::compareManifestLevel(const JsonNode& root, const JsonNode& manifestObject,
                                   bool hasManifestKey) {
    const UpdaterManifestReading& reading = result_.reading;
    if (hasManifestKey) {
        const std::string real =
            text_.substr(manifestObject.begin, manifestObject.end - manifestObject.begin);
        const JsonMember* key = root.member("manifest");
        if (!reading.manifestKeyFound) {
            add(Finding::ManifestMissed, true, 0, key->keyBegin,
                "the updater does not find the \"manifest\" object and reads the whole document as the "
                "manifest");
        } else if (reading.manifestObjectText != real) {
            add(Finding::ManifestMisread, true, 0, key->keyBegin,
                "the updater reads " + std::to_string(reading.manifestObjectText.size()) +
                    " bytes as the manifest object, but the object spans " + std::to_string(real.size()) +
                    " bytes (braces inside strings, or an earlier \"manifest\" key)");
        }
    } else {
        add(Finding::Advice, false, 0, 0,
            "no \"manifest\" object: the updater reads the root level (and logs an ERROR line saying so), "
            "and a "
            "signature cannot be verified");
    }

    const JsonNode* version = valueOf(manifestObject, "version");
    const std::string expectedVersion = meaning(text_, version);
    if (reading.version != expectedVersion) {
        add(Finding::VersionMisread, true, 0, version ? version->begin : manifestObject.begin,
            "the updater reads \"version\" as " + shown(reading.version) + ", the manifest holds " +
                shown(expectedVersion));
    }
    std::string expectedBuild = meaning(text_, valueOf(manifestObject, "build_number"));
    const JsonNode* buildNode = valueOf(manifestObject, "build_number");
    if (expectedBuild.empty()) {
        expectedBuild = meaning(text_, valueOf(manifestObject, "build"));
        buildNode = valueOf(manifestObject, "build");
    }
    if (reading.build != expectedBuild) {
        add(Finding::BuildMisread, true, 0, buildNode ? buildNode->begin : manifestObject.begin,
            "the updater reads the build number as " + shown(reading.build) + ", the manifest holds " +
                shown(expectedBuild));
    }
    if (version && version->kind != JsonNode::Kind::String) {
        add(Finding::BadValue, true, 0, version->begin, "\"version\" is not a string");
    }
    if (buildNode && buildNode->kind != JsonNode::Kind::String && buildNode->kind != JsonNode::Kind::Number) {
        add(Finding::BadValue, true, 0, buildNode->begin,
            "the build number is neither a number nor a string");
    }
}

void Checker::compareEntries(const JsonNode& files) {
    bool someWithoutUrl = false;
    const UpdaterEntryReader reader(result_.reading.manifestObjectText);
    for (const JsonNode& entry : files.items) {
        if (entry.kind != JsonNode::Kind::Object) {
            continue;
        }
        const JsonNode* name = valueOf(entry, "name");
        if (!name || name->kind != JsonNode::Kind::String || name->value.empty()) {
            continue;
        }
        CheckedEntry checked;
        checked.name = name->value;
        checked.offset = entry.begin;
        checked.reading = reader.read(checked.name);
        if (meaning(text_, valueOf(entry, "url")).empty()) {
            someWithoutUrl = true;
        }
        if (!checked.reading.found) {
            const std::string why = checked.reading.lastSearchLine();
            add(Finding::EntryMissed, true, 0, entry.begin,
                "the updater does not find the entry " + inQuotes(checked.name) +
                    (why.empty() ? std::string()
                                 : " (its search ends with: " + why.substr(why.find(' ') + 1) + ")"));
        } else {
            const std::pair<const char*, const std::string*> values[] = {
                {"size", &checked.reading.size},
                {"sha256", &checked.reading.sha256},
                {"url", &checked.reading.url},
                {"target_path", &checked.reading.targetPath}};
            for (const auto& [key, read] : values) {
                const JsonNode* node = valueOf(entry, key);
                const std::string expected = meaning(text_, node);
                if (*read != expected) {
                    add(Finding::EntryMisread, true, 0, node ? node->begin : entry.begin,
                        "entry " + inQuotes(checked.name) + ": the updater reads " + inQuotes(key) + " as " +
                            shown(*read) + ", the manifest holds " + shown(expected));
                }
            }
        }
        result_.entries.push_back(std::move(checked));
    }
    if (someWithoutUrl && (result_.reading.version.empty() || result_.reading.build.empty())) {
        add(Finding::BadValue, true, 0, files.begin,
            "without a \"version\" and a build number the updater cannot locate files that have no \"url\"");
    }
    for (const std::string& wanted : updaterLookedUpFiles()) {
        const bool listed = std::any_of(result_.entries.begin(), result_.entries.end(),
                                        [&](const CheckedEntry& e) { return e.name == wanted; });
        if (!listed) {
            add(Finding::Advice, false, 0, files.begin,
                inQuotes(wanted) +
                    " is not listed; the updater looks it up on every start (and logs that it is missing)");
        }
    }
}

void Checker::checkSignature() {
    result_.signature = reportSignature(text_);
    const SignatureVerdict verdict = result_.signature.verdict;
    std::string outcome;
    for (const SignatureLine& line : result_.signature.lines) {
        if (line.text.find("Verification result: ") != std::string::npos ||
            line.text.find("RSA Signature Verification: ") != std::string::npos) {
            outcome = line.text;
        }
    }
    if (verdict == SignatureVerdict::Passed) {
        return;
    }
    // Unsigned on purpose is fine unless a signature is demanded; a signature that is there but does not
    // pass means the manifest is not what its publisher signed.
    const bool deliberatelyUnsigned =
        verdict == SignatureVerdict::Placeholder || verdict == SignatureVerdict::NotSigned;
    const bool blocking = options_.requireSignature || !deliberatelyUnsigned;
    add(Finding::Signature, blocking, 0, std::string::npos,
        "the updater's signature check ends with: " + outcome);
}

void Checker::run() {
    checkSignature();
    try {
        // Validating without building the document: an ordered object looks every key up linearly, so
        // building one with many members would cost their square.
        result_.parsed = Json::accept(text_);
        if (!result_.parsed) {
            // Throws, with the parser's account of what is wrong.
            [[maybe_unused]] const Json rejected = Json::parse(text_);
        }
    } catch (const std::exception& e) {
        add(Finding::NotJson, true, 0, std::string::npos, std::string("not valid JSON: ") + e.what());
    }
    result_.reading = readManifestLikeUpdater(text_);
    if (!result_.parsed) {
        return;
    }

    JsonNode root;
    std::string scanError;
    if (!scanJsonLayout(text_, root, scanError)) {
        // The JSON library accepted it; a disagreement here is this tool's limitation, said plainly.
        add(Finding::NotJson, true, 0, std::string::npos,
            "cannot follow the layout of this JSON: " + scanError);
        return;
    }
    if (root.kind != JsonNode::Kind::Object) {
        add(Finding::RootNotObject, true, 0, root.begin, "the document is not a JSON object");
        return;
    }
    checkDuplicateKeys(root);

    const JsonMember* manifestMember = root.member("manifest");
    const bool hasManifestKey = manifestMember != nullptr;
    if (hasManifestKey && manifestMember->value.kind != JsonNode::Kind::Object) {
        add(Finding::BadValue, true, 0, manifestMember->value.begin, "\"manifest\" is not an object");
        return;
    }
    const JsonNode& manifestObject = hasManifestKey ? manifestMember->value : root;
    if (hasManifestKey) {
        checkKeyLayout(*manifestMember, 0, text_.size(), true);
    }
    for (const char* key : {"version", "build_number", "build"}) {
        if (const JsonMember* m = manifestObject.member(key)) {
            checkKeyLayout(*m, manifestObject.begin, manifestObject.end, true);
        } else if (std::string(key) != "build" || !manifestObject.member("build_number")) {
            checkAbsentKey(key, manifestObject);
        }
    }
    compareManifestLevel(root, manifestObject, hasManifestKey);

    const JsonMember* files = manifestObject.member("files");
    if (!files) {
        add(Finding::BadValue, true, 0, manifestObject.begin, "the manifest object has no \"files\" array");
        return;
    }
    if (files->keyEnd != files->colon) {
        add(Finding::SpaceBeforeColon, true, 1, files->keyEnd,
            "key \"files\" has white space before its colon; the updater does not find the array");
    }
    checkFilesArrays(manifestObject);
    if (files->value.kind != JsonNode::Kind::Array) {
        return;
    }
    checkFilesChoice(manifestObject);
    checkEntries(files->value);
    compareEntries(files->value);
}

} // namespace

bool ManifestCheckResult::ok() const {
    return std::none_of(problems.begin(), problems.end(), [](const Problem& p) { return p.blocking; });
}

bool ManifestCheckResult::has(Finding finding) const {
    return std::any_of(problems.begin(), problems.end(),
                       [&](const Problem& p) { return p.finding == finding; });
}

const std::vector<std::string>& updaterLookedUpFiles() {
    static const std::vector<std::string> names = {"VESK_Updater.exe", "Updater.exe", "libcurl.dll",
                                                   "libsodium.dll", "zlib1.dll"};
    return names;
}

ManifestCheckResult checkManifest(const std::string& text, const ManifestCheckOptions& options) {
    ManifestCheckResult result;
    Checker(text, options, result).run();
    // Report in text order; findings without a place (signature, JSON errors) come first.
    std::stable_sort(result.problems.begin(), result.problems.end(), [](const Problem& a, const Problem& b) {
        const size_t left = a.offset == std::string::npos ? 0 : a.offset + 1;
        const size_t right = b.offset == std::string::npos ? 0 : b.offset + 1;
        return left < right;
    });
    return result;
}

} // namespace vesk::release
