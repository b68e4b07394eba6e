#include "selfupdate/release_trust.h"

#include "core/log_line.h"
#include "core/logger.h"
#include "core/trusted_key.h"
#include "integrity/signature_verifier.h"

#include <ctime>

namespace vesk::updater {

ReleaseTrust ReleaseTrust::forThisProgram() {
    ReleaseTrust trust;
    trust.keyText = std::string(trustedPublicKeyText());
    trust.readValue = [](const std::string& name) { return readUpdaterValue(name); };
    trust.writeValue = [](const std::string& name, const std::string& text) { return writeUpdaterValue(name, text); };
    trust.clock = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
    trust.verify = &SignatureVerifier::verifySignature;
    return trust;
}

namespace {

// Reads one record; an existing value that is not a record is a problem, never "no record": ignoring it
// would let any older release in.
bool readRecord(const ReleaseTrust& trust, const std::string& name, std::optional<ReleaseIdentity>& record,
                bool& found, std::string& problem) {
    const StoredText stored = trust.readValue(name);
    found = stored.state != StoredState::Absent;
    if (stored.state == StoredState::Absent) {
        return true;
    }
    if (stored.state == StoredState::Present) {
        record = parseReleaseRecord(stored.text);
    }
    if (!record) {
        problem = "the stored record " + name + " cannot be read";
        return false;
    }
    return true;
}

} // namespace

StoredTrustState readStoredTrustState(const std::string& channel, const ReleaseTrust& trust) {
    StoredTrustState state;
    state.recordName = trustedReleaseValueName(channel);
    if (state.recordName.empty()) {
        state.problem = "its channel name is too long to keep a record for";
        return state;
    }
    bool found = false;
    if (!readRecord(trust, state.recordName, state.floor, found, state.problem)) {
        return state;
    }
    if (!found && !readRecord(trust, kLegacyTrustedReleaseValue, state.floor, found, state.problem)) {
        return state;
    }
    const StoredText chain = trust.readValue(kTrustedKeyChainValue);
    if (chain.state != StoredState::Absent) {
        const std::optional<KeyChainState> parsed =
            chain.state == StoredState::Present ? parseKeyChain(chain.text) : std::nullopt;
        if (!parsed) {
            state.problem = std::string("the stored key chain ") + kTrustedKeyChainValue + " cannot be read";
            return state;
        }
        state.chain = *parsed;
    }
    return state;
}

TrustVerdict checkReleaseTrust(const std::string& manifestText, const std::string& channel,
                               const ReleaseTrust& trust) {
    const StoredTrustState state = readStoredTrustState(channel, trust);
    TrustVerdict verdict;
    if (state.problem.empty()) {
        TrustPolicy policy;
        policy.builtInKeys = splitKeyList(trust.keyText);
        policy.storedChain = state.chain;
        policy.channel = channel.empty() ? std::string("stable") : channel;
        policy.floor = state.floor;
        if (trust.clock) {
            policy.now = trust.clock();
        }
        verdict = judgeManifestTrust(manifestText, policy,
                                     trust.verify ? trust.verify : &SignatureVerifier::verifySignature);
    } else {
        verdict.outcome = ManifestTrust::StateProblem;
        verdict.problem = state.problem;
    }
    if (verdict.trusted()) {
        // Stored only now that everything else passed, and a store that fails means "not accepted": a
        // release whose record did not move could be followed by an older one.
        if (verdict.newChain && !trust.writeValue(kTrustedKeyChainValue, formatKeyChain(*verdict.newChain))) {
            verdict.outcome = ManifestTrust::StateProblem;
            verdict.problem = std::string("its key succession could not be stored in ") + kTrustedKeyChainValue;
        } else if (verdict.newerThanRecord() &&
                   // A "|" inside a value would be read back as another release than the one recorded.
                   (verdict.release.version.find('|') != std::string::npos ||
                    verdict.release.build.find('|') != std::string::npos ||
                    !trust.writeValue(state.recordName, formatReleaseRecord(verdict.release)))) {
            verdict.outcome = ManifestTrust::StateProblem;
            verdict.problem = "version " + logValue(verdict.release.version, 64) + " build " +
                              logValue(verdict.release.build, 64) + " could not be recorded in " +
                              state.recordName;
        }
    }
    if (!verdict.trusted()) {
        verdict.signedText.clear();
        logger().error(trustVerdictLine(verdict));
        return verdict;
    }
    logger().info(trustVerdictLine(verdict));
    logger().info(trustDetailLine(verdict));
    return verdict;
}

} // namespace vesk::updater
