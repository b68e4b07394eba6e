#include "integrity/manifest_trust.h"

#include <nlohmann/json.hpp>

#include "core/log_line.h"
#include "integrity/manifest_document.h"
#include "integrity/sha256.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <map>
#include <vector>

namespace vesk::updater {

namespace {

using Json = nlohmann::ordered_json;

bool allDigits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

// Numbers of any length compare as numbers; anything else as text.
int comparePart(std::string_view a, std::string_view b) {
    if (allDigits(a) && allDigits(b)) {
        a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
        b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
        if (a.size() != b.size()) {
            return a.size() < b.size() ? -1 : 1;
        }
    }
    return sign(a.compare(b));
}

std::vector<std::string_view> versionParts(std::string_view version) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) {
            return parts;
        }
        start = dot + 1;
    }
}

int compareVersions(std::string_view a, std::string_view b) {
    const std::vector<std::string_view> left = versionParts(a);
    const std::vector<std::string_view> right = versionParts(b);
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        const int order = comparePart(i < left.size() ? left[i] : "0", i < right.size() ? right[i] : "0");
        if (order != 0) {
            return order;
        }
    }
    return 0;
}

// A signature block or a succession chain is small; larger ones are refused before they are parsed as
// documents. Values of the signed object that decide anything are short texts.
constexpr std::size_t kMaxBlockBytes = 1 << 20;
constexpr std::size_t kMaxSignedValueBytes = 64 * 1024;

// A release value as text: strings as they are, numbers (build numbers often are) in their JSON spelling.
std::string valueText(const std::map<std::string, CapturedMember>& members, const char* key) {
    const auto found = members.find(key);
    if (found == members.end()) {
        return {};
    }
    const Json value = Json::parse(found->second.compact);
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return value.is_null() ? std::string() : value.dump();
}

bool contains(const std::vector<std::string>& keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

void addKey(std::vector<std::string>& keys, const std::string& key) {
    if (!key.empty() && !contains(keys, key)) {
        keys.push_back(key);
    }
}

std::vector<std::string> without(const std::vector<std::string>& keys, const std::vector<std::string>& removed) {
    std::vector<std::string> kept;
    for (const std::string& key : keys) {
        if (!contains(removed, key)) {
            kept.push_back(key);
        }
    }
    return kept;
}

std::vector<std::string> keyTexts(const Json& list) {
    std::vector<std::string> keys;
    for (const Json& key : list) {
        addKey(keys, normalizedKeyText(key.get<std::string>()));
    }
    return keys;
}

// The first of keys the signature verifies with, or "".
std::string verifyingKey(const std::string& data, const std::string& signature, const std::vector<std::string>& keys,
                         const SignatureVerifyFunction& verify) {
    for (const std::string& key : keys) {
        std::string errorText;
        if (verify(data, signature, key, errorText)) {
            return key;
        }
    }
    return {};
}

// Walks the statements the stored chain has not applied yet. Fills verdict.problem and returns false at the
// first fault; on success trusted/retired/sequence are the new state and lastKeys the keys of the last
// statement walked.
bool followSuccession(const Json& chain, const SignatureVerifyFunction& verify, std::vector<std::string>& trusted,
                      std::vector<std::string>& retired, std::uint64_t& sequence,
                      std::vector<std::string>& lastKeys, TrustVerdict& verdict) {
    if (!chain.is_array()) {
        verdict.problem = "its key succession is not a list of statements";
        return false;
    }
    std::size_t position = 0;
    for (const Json& entry : chain) {
        ++position;
        const std::string where = "key succession statement " + std::to_string(position);
        const Json* statement = entry.is_object() && entry.contains("statement") ? &entry.at("statement") : nullptr;
        if (!statement || !statement->is_object() || !statement->contains("sequence") ||
            !statement->at("sequence").is_number_unsigned()) {
            verdict.problem = where + " cannot be read";
            return false;
        }
        const std::uint64_t number = statement->at("sequence").get<std::uint64_t>();
        if (number <= sequence) {
            continue; // applied on this machine before
        }
        const std::string named = where + " (sequence " + std::to_string(number) + ")";
        if (number != sequence + 1) {
            verdict.problem = named + " does not follow sequence " + std::to_string(sequence);
            return false;
        }
        const bool readable = entry.contains("signed_by") && entry.at("signed_by").is_string() &&
                              entry.contains("signature") && entry.at("signature").is_string() &&
                              statement->contains("keys") && statement->at("keys").is_array() &&
                              !statement->at("keys").empty() &&
                              (!statement->contains("retire") || statement->at("retire").is_array());
        std::vector<std::string> keys;
        std::vector<std::string> retire;
        try {
            if (readable) {
                keys = keyTexts(statement->at("keys"));
                retire = statement->contains("retire") ? keyTexts(statement->at("retire")) : std::vector<std::string>{};
            }
        } catch (const std::exception&) {
            keys.clear();
        }
        if (!readable || keys.empty()) {
            verdict.problem = named + " cannot be read";
            return false;
        }
        const std::string signedBy = entry.at("signed_by").get<std::string>();
        std::vector<std::string> signers;
        for (const std::string& key : trusted) {
            if (keyIdOf(key) == signedBy) {
                signers.push_back(key);
            }
        }
        if (signers.empty()) {
            bool wasRetired = false;
            for (const std::string& key : retired) {
                wasRetired = wasRetired || keyIdOf(key) == signedBy;
            }
            verdict.problem = named + " is signed by " + (wasRetired ? "retired key " : "key ") +
                              logValue(signedBy, 64) + (wasRetired ? "" : ", which this program does not trust");
            return false;
        }
        if (verifyingKey(statement->dump(), entry.at("signature").get<std::string>(), signers, verify).empty()) {
            verdict.problem = named + " does not verify with key " + logValue(signedBy, 64);
            return false;
        }
        for (const std::string& key : retire) {
            addKey(retired, key);
        }
        for (const std::string& key : keys) {
            addKey(trusted, key);
        }
        trusted = without(trusted, retired);
        lastKeys = without(keys, retired);
        sequence = number;
        ++verdict.statementsFollowed;
    }
    return true;
}

TrustVerdict judge(const std::string& manifestText, const TrustPolicy& policy, const SignatureVerifyFunction& verify) {
    TrustVerdict verdict;
    verdict.lastTrusted = policy.floor;
    verdict.expectedChannel = policy.channel.value_or("");
    verdict.now = policy.now;
    // One linear pass keeps only the three members the decision reads, however the rest is padded.
    const ScannedObject root = scanJsonObjectMembers(
        manifestText,
        {{"manifest", std::string::npos}, {"signature", kMaxBlockBytes}, {"key_succession", kMaxBlockBytes}});
    const auto blockMember = root.members.find("signature");
    if (!root.isObject || blockMember == root.members.end()) {
        verdict.outcome = ManifestTrust::NoSignature;
        return verdict;
    }
    const Json block = Json::parse(blockMember->second.compact);
    const std::string algorithm = block.value("algorithm", std::string());
    const std::string signature = block.value("signature", std::string());
    const std::string publicKey = block.value("public_key", std::string());
    verdict.release.timestamp = block.value("timestamp", std::string());
    if (signature.find("placeholder") != std::string::npos ||
        publicKey.find("placeholder") != std::string::npos) {
        verdict.outcome = ManifestTrust::Placeholder;
        return verdict;
    }
    if (algorithm != "RSA" && algorithm != "RSA-SHA256") {
        verdict.outcome = ManifestTrust::NotRsaSha256;
        return verdict;
    }
    const auto objectMember = root.members.find("manifest");
    if (objectMember == root.members.end()) {
        verdict.outcome = ManifestTrust::Unreadable;
        return verdict;
    }
    const std::string& signedText = objectMember->second.compact;

    // The keys this machine trusts now, then whatever the statements it has not applied yet add or retire.
    std::vector<std::string> builtIn;
    for (const std::string& key : policy.builtInKeys) {
        addKey(builtIn, normalizedKeyText(key));
    }
    std::vector<std::string> retired;
    for (const std::string& key : policy.storedChain.retired) {
        addKey(retired, normalizedKeyText(key));
    }
    std::vector<std::string> trusted = builtIn;
    for (const std::string& key : policy.storedChain.keys) {
        addKey(trusted, normalizedKeyText(key));
    }
    trusted = without(trusted, retired);
    std::uint64_t sequence = policy.storedChain.sequence;
    std::vector<std::string> lastKeys;
    if (const auto chain = root.members.find("key_succession"); chain != root.members.end()) {
        if (!followSuccession(Json::parse(chain->second.compact), verify, trusted, retired, sequence, lastKeys,
                              verdict)) {
            verdict.outcome = ManifestTrust::SuccessionRefused;
            return verdict;
        }
    }
    // After a statement only its own keys sign: the chain's point is to move on from the keys before it.
    const std::string key =
        verifyingKey(signedText, signature, verdict.statementsFollowed > 0 ? lastKeys : trusted, verify);
    if (key.empty()) {
        const std::string retiredKey = verifyingKey(signedText, signature, retired, verify);
        verdict.outcome = retiredKey.empty() ? ManifestTrust::DoesNotVerify : ManifestTrust::RetiredKey;
        verdict.signingKeyId = retiredKey.empty() ? std::string() : keyIdOf(retiredKey);
        verdict.signedByBuiltInKey = policy.storedChain.keys.empty() && verdict.statementsFollowed == 0;
        return verdict;
    }
    verdict.signingKeyId = keyIdOf(key);
    verdict.signedByBuiltInKey = contains(builtIn, key);

    // Only values inside the signed bytes decide from here on. A deciding name given twice is ambiguous
    // (readers differ in which one they take), so such a manifest is not read at all.
    const char* const deciding[] = {"version", "build_number", "build", "channel", "expires", "published"};
    std::vector<WantedMember> wanted;
    for (const char* name : deciding) {
        wanted.push_back({name, kMaxSignedValueBytes});
    }
    const ScannedObject object = scanJsonObjectMembers(signedText, wanted);
    for (const auto& [name, member] : object.members) {
        if (member.count > 1) {
            verdict.outcome = ManifestTrust::Unreadable;
            return verdict;
        }
    }
    verdict.release.version = valueText(object.members, "version");
    verdict.release.build = valueText(object.members, "build_number");
    if (verdict.release.build.empty()) {
        verdict.release.build = valueText(object.members, "build");
    }
    verdict.channel = valueText(object.members, "channel");
    verdict.expires = valueText(object.members, "expires");
    verdict.published = valueText(object.members, "published");
    const bool namesChannel = object.members.count("channel") > 0 &&
                              Json::parse(object.members.at("channel").compact).is_string();
    if (policy.channel && (!namesChannel || verdict.channel != *policy.channel)) {
        verdict.outcome = ManifestTrust::WrongChannel;
        return verdict;
    }
    if (object.members.count("expires") > 0) {
        const std::optional<std::int64_t> expiry = parseUtcTime(verdict.expires);
        if (!expiry || !Json::parse(object.members.at("expires").compact).is_string()) {
            verdict.outcome = ManifestTrust::BadExpiry;
            return verdict;
        }
        if (policy.now && *policy.now >= *expiry) {
            verdict.outcome = ManifestTrust::Expired;
            return verdict;
        }
    }
    if (policy.floor && compareReleases(verdict.release, *policy.floor) < 0) {
        verdict.outcome = ManifestTrust::OlderThanRecord;
        return verdict;
    }
    if (verdict.statementsFollowed > 0) {
        verdict.newChain = KeyChainState{sequence, without(trusted, builtIn), retired};
    }
    verdict.outcome = ManifestTrust::Trusted;
    verdict.signedText = signedText;
    return verdict;
}

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

} // namespace

int compareReleases(const ReleaseIdentity& a, const ReleaseIdentity& b) {
    if (const int order = compareVersions(a.version, b.version); order != 0) {
        return order;
    }
    return comparePart(a.build, b.build);
}

std::string formatReleaseRecord(const ReleaseIdentity& release) {
    return release.version + "|" + release.build;
}

std::optional<ReleaseIdentity> parseReleaseRecord(std::string_view text) {
    const std::size_t first = text.find('|');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t second = text.find('|', first + 1);
    if (second == std::string_view::npos) {
        return ReleaseIdentity{std::string(text.substr(0, first)), std::string(text.substr(first + 1)), ""};
    }
    return ReleaseIdentity{std::string(text.substr(0, first)),
                           std::string(text.substr(first + 1, second - first - 1)),
                           std::string(text.substr(second + 1))};
}

std::string normalizedKeyText(std::string_view keyText) {
    std::string text;
    for (const char c : keyText) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') {
            text += c;
        }
    }
    return text;
}

std::string keyIdOf(std::string_view keyText) {
    return sha256Hex(normalizedKeyText(keyText)).substr(0, 16);
}

std::vector<std::string> splitKeyList(std::string_view keyTexts) {
    std::vector<std::string> keys;
    std::size_t start = 0;
    while (start <= keyTexts.size()) {
        const std::size_t comma = std::min(keyTexts.find(',', start), keyTexts.size());
        addKey(keys, normalizedKeyText(keyTexts.substr(start, comma - start)));
        start = comma + 1;
    }
    return keys;
}

std::string formatKeyChain(const KeyChainState& chain) {
    Json stored;
    stored["sequence"] = chain.sequence;
    stored["keys"] = chain.keys;
    stored["retired"] = chain.retired;
    return stored.dump();
}

std::optional<KeyChainState> parseKeyChain(std::string_view text) {
    try {
        const ScannedObject scanned = scanJsonObjectMembers(
            std::string(text), {{"sequence", kMaxBlockBytes}, {"keys", kMaxBlockBytes}, {"retired", kMaxBlockBytes}});
        if (!scanned.isObject || scanned.members.size() != 3) {
            return std::nullopt;
        }
        const Json sequence = Json::parse(scanned.members.at("sequence").compact);
        const Json keys = Json::parse(scanned.members.at("keys").compact);
        const Json retired = Json::parse(scanned.members.at("retired").compact);
        if (!sequence.is_number_unsigned() || !keys.is_array() || !retired.is_array()) {
            return std::nullopt;
        }
        return KeyChainState{sequence.get<std::uint64_t>(), keyTexts(keys), keyTexts(retired)};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::int64_t> parseUtcTime(std::string_view text) {
    // Exactly "YYYY-MM-DDTHH:MM:SSZ".
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) {
            return std::nullopt;
        }
    }
    const auto number = [&](std::size_t from, std::size_t length) {
        int value = 0;
        for (std::size_t i = from; i < from + length; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap) ||
        hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
           minute * 60 + second;
}

std::string formatUtcTime(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from a day count (the inverse of daysFromCivil).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const unsigned month = shifted < 10 ? shifted + 3 : shifted - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
    char text[32] = {};
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(year), month,
                  day, static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return text;
}

bool TrustVerdict::newerThanRecord() const {
    return trusted() && (!lastTrusted || compareReleases(release, *lastTrusted) > 0);
}

TrustVerdict judgeManifestTrust(const std::string& manifestText, const TrustPolicy& policy,
                                const SignatureVerifyFunction& verify) {
    // A text that does not parse, a block of the wrong shape or an object that cannot be serialised all
    // mean the same thing here: nothing in it can be vouched for.
    try {
        return judge(manifestText, policy, verify);
    } catch (...) {
        TrustVerdict verdict;
        verdict.lastTrusted = policy.floor;
        return verdict;
    }
}

TrustVerdict judgeManifestTrust(const std::string& manifestText, const std::string& trustedKeyTexts,
                                const std::optional<ReleaseIdentity>& lastTrusted,
                                const SignatureVerifyFunction& verify) {
    TrustPolicy policy;
    policy.builtInKeys = splitKeyList(trustedKeyTexts);
    policy.floor = lastTrusted;
    policy.now = static_cast<std::int64_t>(std::time(nullptr));
    return judgeManifestTrust(manifestText, policy, verify);
}

std::string notTrustedReason(const TrustVerdict& verdict) {
    switch (verdict.outcome) {
    case ManifestTrust::Trusted:
        return {};
    case ManifestTrust::NoSignature:
        return "it has no signature";
    case ManifestTrust::Placeholder:
        return "its signature is a placeholder";
    case ManifestTrust::NotRsaSha256:
        return "its signature algorithm is not RSA-SHA256";
    case ManifestTrust::DoesNotVerify:
        if (verdict.statementsFollowed > 0) {
            return "its signature does not verify with a key of its last key succession statement";
        }
        return verdict.signedByBuiltInKey ? "its signature does not verify with the built-in release key"
                                          : "its signature does not verify with any trusted release key";
    case ManifestTrust::Unreadable:
        return "it cannot be read";
    case ManifestTrust::OlderThanRecord: {
        const ReleaseIdentity record = verdict.lastTrusted.value_or(ReleaseIdentity{});
        return "version " + logValue(verdict.release.version, 64) + " build " + logValue(verdict.release.build, 64) +
               " is older than the last trusted release, version " + logValue(record.version, 64) + " build " +
               logValue(record.build, 64);
    }
    case ManifestTrust::WrongChannel:
        return "it is signed for channel \"" + logValue(verdict.channel, 64) + "\", not for channel \"" +
               logValue(verdict.expectedChannel, 64) + "\"";
    case ManifestTrust::Expired:
        return "it expired at " + verdict.expires +
               (verdict.now ? " (this machine's clock says " + formatUtcTime(*verdict.now) + ")" : std::string());
    case ManifestTrust::BadExpiry:
        return "its expiry \"" + logValue(verdict.expires, 64) + "\" is not a UTC time YYYY-MM-DDTHH:MM:SSZ";
    case ManifestTrust::SuccessionRefused:
    case ManifestTrust::StateProblem:
        return verdict.problem;
    case ManifestTrust::RetiredKey:
        return "it is signed with the retired release key " + verdict.signingKeyId;
    }
    return "it cannot be read";
}

std::string trustVerdictLine(const TrustVerdict& verdict) {
    if (verdict.trusted()) {
        const std::string release =
            "(version " + logValue(verdict.release.version, 64) + " build " + logValue(verdict.release.build, 64) + ")";
        if (verdict.signedByBuiltInKey) {
            return "Manifest trusted: signed with the built-in release key " + release;
        }
        return "Manifest trusted: signed with release key " + verdict.signingKeyId + " of the key succession " +
               release;
    }
    return "Manifest not trusted: " + notTrustedReason(verdict) + "; nothing will be installed from it";
}

std::string trustDetailLine(const TrustVerdict& verdict) {
    const std::string succession =
        verdict.statementsFollowed == 0
            ? "key succession: no new statement"
            : "key succession: followed " + std::to_string(verdict.statementsFollowed) +
                  (verdict.statementsFollowed == 1 ? " statement" : " statements") + " to sequence " +
                  std::to_string(verdict.newChain ? verdict.newChain->sequence : 0);
    return "Manifest signing key: " + verdict.signingKeyId +
           (verdict.signedByBuiltInKey ? " (built in); " : " (from the key succession); ") + succession +
           "; published: " + (verdict.published.empty() ? "not given" : logValue(verdict.published, 64)) +
           "; expires: " + (verdict.expires.empty() ? "never" : verdict.expires);
}

} // namespace vesk::updater
