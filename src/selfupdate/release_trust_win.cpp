#include "selfupdate/release_trust.h"

#include "core/logger.h"
#include "core/settings.h"
#include "core/trusted_key.h"
#include "integrity/signature_verifier.h"

namespace vesk::updater {

ReleaseTrust ReleaseTrust::forThisProgram() {
    ReleaseTrust trust;
    trust.keyText = std::string(trustedPublicKeyText());
    trust.readRecord = [] { return readLastTrustedRelease(); };
    trust.writeRecord = [](const std::string& record) { return writeLastTrustedRelease(record); };
    return trust;
}

TrustVerdict checkReleaseTrust(const std::string& manifestText, const ReleaseTrust& trust) {
    std::optional<ReleaseIdentity> lastTrusted;
    if (trust.readRecord) {
        if (const std::optional<std::string> record = trust.readRecord()) {
            lastTrusted = parseReleaseRecord(*record);
        }
    }
    const TrustVerdict verdict =
        judgeManifestTrust(manifestText, trust.keyText, lastTrusted, &SignatureVerifier::verifySignature);
    if (!verdict.trusted()) {
        logger().error(trustVerdictLine(verdict));
        return verdict;
    }
    logger().info(trustVerdictLine(verdict));
    // Only forward: an older trusted release never lowers the bar again.
    if (verdict.newerThanRecord() && trust.writeRecord &&
        !trust.writeRecord(formatReleaseRecord(verdict.release))) {
        logger().warning("Could not record the trusted release " + verdict.release.version + " build " +
                         verdict.release.build);
    }
    return verdict;
}

} // namespace vesk::updater
