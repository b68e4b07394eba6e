#pragma once

#include "core/settings_records.h"
#include "integrity/manifest_trust.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vesk::updater {

// What a program built with trusted release keys holds manifests against: the keys, the state it keeps
// (the newest release per channel, the key chain) and the clock. With no key nothing is enforced.
struct ReleaseTrust {
    std::string keyText; // the built-in keys, one or several separated by ","
    std::function<StoredText(const std::string& valueName)> readValue;
    std::function<bool(const std::string& valueName, const std::string& text)> writeValue; // true when kept
    std::function<std::int64_t()> clock; // UTC seconds since 1970
    SignatureVerifyFunction verify;      // the platform's RSA-SHA256 check

    bool enforced() const { return !keyText.empty(); }

    // The keys compiled into this program, the machine's registry and its clock.
    static ReleaseTrust forThisProgram();
};

// The state a check reads before it judges: the record that sets the floor of a channel (its own record,
// or the single record of earlier versions while the channel has none), and the stored key chain.
struct StoredTrustState {
    std::string recordName;                     // where an accepted release of this channel is recorded
    std::optional<ReleaseIdentity> floor;
    KeyChainState chain;
    std::string problem;                        // not empty when the state cannot be used
};
StoredTrustState readStoredTrustState(const std::string& channel, const ReleaseTrust& trust);

// Judges a downloaded manifest fetched for channel ("" is "stable") against trust (which must be
// enforced), stores what a trusted one changes (the key chain, then the channel's record when the release
// is newer), and logs the verdict. A manifest whose state cannot be read or stored is not accepted.
TrustVerdict checkReleaseTrust(const std::string& manifestText, const std::string& channel,
                               const ReleaseTrust& trust);

} // namespace vesk::updater
