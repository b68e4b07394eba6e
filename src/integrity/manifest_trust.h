#pragma once

#include "integrity/manifest_signature.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::updater {

// A release as a trusted manifest names it: the signed manifest object's "version" and "build_number" (or
// "build"). The signature block's "timestamp" sits outside the signed bytes: it is carried for the log only.
struct ReleaseIdentity {
    std::string version;
    std::string build;
    std::string timestamp;
};

// Orders two releases by version, part by part ("." separated, numbers compared as numbers, a missing part
// counting as 0), then by build (as numbers when both are). Negative when a is older than b, 0 when they
// are the same release, positive when a is newer. The timestamp plays no part.
int compareReleases(const ReleaseIdentity& a, const ReleaseIdentity& b);

// The stored form of the newest trusted release: "<version>|<build>".
std::string formatReleaseRecord(const ReleaseIdentity& release);
// Reads a stored record, "<version>|<build>" or the older "<version>|<build>|<timestamp>" (whose third part
// is kept in timestamp and ignored); nothing when the text has no "|".
std::optional<ReleaseIdentity> parseReleaseRecord(std::string_view text);

// A key text with its ASCII white space removed: the form keys are compared and named in.
std::string normalizedKeyText(std::string_view keyText);
// The name logs and statements give a key: the first 16 lower-case hex digits of SHA-256 over the
// normalised key text.
std::string keyIdOf(std::string_view keyText);
// The keys of a build option or tool argument: texts separated by ",", white space around them ignored,
// empty entries dropped.
std::vector<std::string> splitKeyList(std::string_view keyTexts);

// What a machine has learnt from key-succession statements: the last statement applied, the keys trusted
// beside the built-in ones and the keys retired (never trusted again, built-in or not).
struct KeyChainState {
    std::uint64_t sequence = 0;
    std::vector<std::string> keys;
    std::vector<std::string> retired;

    bool operator==(const KeyChainState&) const = default;
};
// The stored form: compact JSON {"sequence":S,"keys":[...],"retired":[...]}.
std::string formatKeyChain(const KeyChainState& chain);
// Reads the stored form; nothing when it is not exactly that shape.
std::optional<KeyChainState> parseKeyChain(std::string_view text);

// A UTC time "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970-01-01T00:00:00Z; nothing for any other text or an
// impossible date.
std::optional<std::int64_t> parseUtcTime(std::string_view text);
// The other way round.
std::string formatUtcTime(std::int64_t secondsSinceEpoch);

// Everything a manifest is held against.
struct TrustPolicy {
    std::vector<std::string> builtInKeys; // key texts compiled into the program
    KeyChainState storedChain;            // sequence 0 and no keys when nothing is stored
    // The channel the manifest was fetched for; its signed "channel" must equal it. Nothing: not bound
    // (a release tool judging a file has no channel to hold it to).
    std::optional<std::string> channel;
    std::optional<ReleaseIdentity> floor; // the newest release trusted before on this channel
    std::optional<std::int64_t> now;      // UTC seconds; nothing: a signed expiry is only checked for form
};

enum class ManifestTrust {
    Trusted,
    NoSignature,
    Placeholder,
    NotRsaSha256,
    DoesNotVerify,
    Unreadable,
    OlderThanRecord,
    WrongChannel,
    Expired,
    BadExpiry,
    SuccessionRefused,
    RetiredKey,
    StateProblem, // the stored state cannot be read, or the new state cannot be stored: not accepted
};

struct TrustVerdict {
    ManifestTrust outcome = ManifestTrust::Unreadable;
    ReleaseIdentity release;                    // filled once the signature verified
    std::optional<ReleaseIdentity> lastTrusted; // the record the manifest was held against
    // The manifest object exactly as signed (compact JSON); set when trusted. Everything installed from a
    // trusted manifest is read from this text, never from the downloaded one around it.
    std::string signedText;
    std::string channel;         // the signed "channel" ("" when absent)
    std::string expectedChannel; // the channel it was held to
    std::string expires;         // the signed "expires" ("" when absent)
    std::string published;       // the signed "published" ("" when absent)
    std::optional<std::int64_t> now;
    std::string signingKeyId;    // the key the manifest verified with (or, for RetiredKey, the retired one)
    bool signedByBuiltInKey = false;
    std::uint64_t statementsFollowed = 0;
    std::optional<KeyChainState> newChain; // to be stored before the release is accepted, when it changed
    std::string problem;                   // what went wrong, for SuccessionRefused and StateProblem

    bool trusted() const { return outcome == ManifestTrust::Trusted; }
    // True when a trusted manifest names a newer release than the record (or there is no record).
    bool newerThanRecord() const;
};

// Decides whether a manifest may be installed from. Its signature block must name RSA-SHA256 and its
// signature must verify over the compact manifest object with a trusted key (the block's own "public_key"
// plays no part): a built-in or stored key that is not retired, or, when the manifest's "key_succession"
// brings statements newer than the stored chain, a key of the last one, each statement signed by a key
// trusted at that step. Then the signed "channel" must equal policy.channel, a signed "expires" must be
// well formed and (with a clock) not reached, and the release must not be older than policy.floor. Linear
// in the text, bounded in memory. Never throws.
TrustVerdict judgeManifestTrust(const std::string& manifestText, const TrustPolicy& policy,
                                const SignatureVerifyFunction& verify);

// The same held against the keys of a key list (see splitKeyList) and lastTrusted, with no stored chain,
// no channel and the machine's clock.
TrustVerdict judgeManifestTrust(const std::string& manifestText, const std::string& trustedKeyTexts,
                                const std::optional<ReleaseIdentity>& lastTrusted,
                                const SignatureVerifyFunction& verify);

// Why a manifest is not trusted, as the log says it ("" for a trusted one). Outside values in it are
// escaped and cut for the log.
std::string notTrustedReason(const TrustVerdict& verdict);

// The one line that reports the verdict: INFO "Manifest trusted: ..." or ERROR "Manifest not trusted: ...".
std::string trustVerdictLine(const TrustVerdict& verdict);

// For a trusted manifest, the line that names its key and what it says of itself: "Manifest signing key:
// ID (built in|from the key succession); key succession: ...; published: ...; expires: ...".
std::string trustDetailLine(const TrustVerdict& verdict);

} // namespace vesk::updater
