#include "integrity/manifest_trust.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>
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

// Same guard as the signature report: re-serialising recurses once per level.
bool refuseDeepNesting(int depth, Json::parse_event_t /*event*/, Json& /*parsed*/) {
    if (depth > 512) {
        throw std::runtime_error("nested too deeply");
    }
    return true;
}

// A release value as text: strings as they are, numbers (build numbers often are) in their JSON spelling.
std::string valueText(const Json& object, const char* key) {
    if (!object.is_object() || !object.contains(key)) {
        return {};
    }
    const Json& value = object.at(key);
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return value.is_null() ? std::string() : value.dump();
}

TrustVerdict judge(const std::string& manifestText, const std::string& trustedKeyText,
                   const std::optional<ReleaseIdentity>& lastTrusted, const SignatureVerifyFunction& verify) {
    TrustVerdict verdict;
    verdict.lastTrusted = lastTrusted;
    const Json root = Json::parse(manifestText, refuseDeepNesting);
    if (!root.is_object() || !root.contains("signature")) {
        verdict.outcome = ManifestTrust::NoSignature;
        return verdict;
    }
    const Json& block = root.at("signature");
    const std::string algorithm = block.value("algorithm", std::string());
    const std::string signature = block.value("signature", std::string());
    const std::string publicKey = block.value("public_key", std::string());
    const std::string timestamp = block.value("timestamp", std::string());
    if (signature.find("placeholder") != std::string::npos ||
        publicKey.find("placeholder") != std::string::npos) {
        verdict.outcome = ManifestTrust::Placeholder;
        return verdict;
    }
    if (algorithm != "RSA" && algorithm != "RSA-SHA256") {
        verdict.outcome = ManifestTrust::NotRsaSha256;
        return verdict;
    }
    if (!root.contains("manifest")) {
        verdict.outcome = ManifestTrust::Unreadable;
        return verdict;
    }
    const Json& object = root.at("manifest");
    std::string signedText = object.dump();
    std::string errorText;
    if (!verify(signedText, signature, trustedKeyText, errorText)) {
        verdict.outcome = ManifestTrust::DoesNotVerify;
        return verdict;
    }
    verdict.release.version = valueText(object, "version");
    verdict.release.build = valueText(object, "build_number");
    if (verdict.release.build.empty()) {
        verdict.release.build = valueText(object, "build");
    }
    verdict.release.timestamp = timestamp;
    if (lastTrusted && compareReleases(verdict.release, *lastTrusted) < 0) {
        verdict.outcome = ManifestTrust::OlderThanRecord;
        return verdict;
    }
    verdict.outcome = ManifestTrust::Trusted;
    verdict.signedText = std::move(signedText);
    return verdict;
}

} // namespace

int compareReleases(const ReleaseIdentity& a, const ReleaseIdentity& b) {
    if (const int order = compareVersions(a.version, b.version); order != 0) {
        return order;
    }
    if (const int order = comparePart(a.build, b.build); order != 0) {
        return order;
    }
    return sign(a.timestamp.compare(b.timestamp));
}

std::string formatReleaseRecord(const ReleaseIdentity& release) {
    return release.version + "|" + release.build + "|" + release.timestamp;
}

std::optional<ReleaseIdentity> parseReleaseRecord(std::string_view text) {
    const std::size_t first = text.find('|');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t second = text.find('|', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    return ReleaseIdentity{std::string(text.substr(0, first)),
                           std::string(text.substr(first + 1, second - first - 1)),
                           std::string(text.substr(second + 1))};
}

bool TrustVerdict::newerThanRecord() const {
    return trusted() && (!lastTrusted || compareReleases(release, *lastTrusted) > 0);
}

TrustVerdict judgeManifestTrust(const std::string& manifestText, const std::string& trustedKeyText,
                                const std::optional<ReleaseIdentity>& lastTrusted,
                                const SignatureVerifyFunction& verify) {
    // A text that does not parse, a block of the wrong shape or an object that cannot be serialised all
    // mean the same thing here: nothing in it can be vouched for.
    try {
        return judge(manifestText, trustedKeyText, lastTrusted, verify);
    } catch (...) {
        TrustVerdict verdict;
        verdict.lastTrusted = lastTrusted;
        return verdict;
    }
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
        return "its signature does not verify with the built-in release key";
    case ManifestTrust::Unreadable:
        return "it cannot be read";
    case ManifestTrust::OlderThanRecord: {
        const ReleaseIdentity record = verdict.lastTrusted.value_or(ReleaseIdentity{});
        return "version " + verdict.release.version + " build " + verdict.release.build +
               " is older than the last trusted release, version " + record.version + " build " +
               record.build;
    }
    }
    return "it cannot be read";
}

std::string trustVerdictLine(const TrustVerdict& verdict) {
    if (verdict.trusted()) {
        return "Manifest trusted: signed with the built-in release key (version " + verdict.release.version +
               " build " + verdict.release.build + ")";
    }
    return "Manifest not trusted: " + notTrustedReason(verdict) + "; nothing will be installed from it";
}

} // namespace vesk::updater
