#pragma once

#include "integrity/manifest_signature.h"

#include <optional>
#include <string>
#include <string_view>

namespace vesk::updater {

// A release as a trusted manifest names it: the manifest object's "version" and "build_number" (or
// "build"), and the signature block's "timestamp".
struct ReleaseIdentity {
    std::string version;
    std::string build;
    std::string timestamp;
};

// Orders two releases: the versions part by part ("." separated, numbers compared as numbers, a missing
// part counting as 0), then the builds (as numbers when both are), then the timestamps as text.
// Negative when a is older than b, 0 when they are the same release, positive when a is newer.
int compareReleases(const ReleaseIdentity& a, const ReleaseIdentity& b);

// The stored form of the newest trusted release: "<version>|<build>|<timestamp>".
std::string formatReleaseRecord(const ReleaseIdentity& release);
// Reads a stored record; nothing when the text does not have the three parts.
std::optional<ReleaseIdentity> parseReleaseRecord(std::string_view text);

enum class ManifestTrust {
    Trusted,
    NoSignature,
    Placeholder,
    NotRsaSha256,
    DoesNotVerify,
    Unreadable,
    OlderThanRecord,
};

struct TrustVerdict {
    ManifestTrust outcome = ManifestTrust::Unreadable;
    ReleaseIdentity release;                    // filled once the signature verified
    std::optional<ReleaseIdentity> lastTrusted; // the record the manifest was held against
    // The manifest object exactly as signed (compact JSON); set when trusted. Everything installed from a
    // trusted manifest is read from this text, never from the downloaded one around it.
    std::string signedText;

    bool trusted() const { return outcome == ManifestTrust::Trusted; }
    // True when a trusted manifest names a newer release than the record (or there is no record).
    bool newerThanRecord() const;
};

// Decides whether a manifest may be installed from by a program that trusts only trustedKeyText: its
// signature block must name RSA-SHA256 and its signature must verify over the compact manifest object
// with that key (the block's own "public_key" plays no part), and the release must not be older than
// lastTrusted. Never throws.
TrustVerdict judgeManifestTrust(const std::string& manifestText, const std::string& trustedKeyText,
                                const std::optional<ReleaseIdentity>& lastTrusted,
                                const SignatureVerifyFunction& verify);

// Why a manifest is not trusted, as the log says it ("" for a trusted one).
std::string notTrustedReason(const TrustVerdict& verdict);

// The one line that reports the verdict: INFO "Manifest trusted: ..." or ERROR "Manifest not trusted: ...".
std::string trustVerdictLine(const TrustVerdict& verdict);

} // namespace vesk::updater
