#include "integrity/manifest_signature.h"

#include "core/logger.h"
#include "integrity/signature_verifier.h"

namespace vesk::updater {

void logManifestSignatureStatus(const std::string& manifestText, SignatureReportStyle style, Logger& log) {
    reportManifestSignature(
        manifestText, style,
        [&log](const std::string& level, const std::string& message) { log.log(level, message); },
        &SignatureVerifier::verifySignature);
}

void logManifestSignatureStatus(const std::string& manifestText, SignatureReportStyle style) {
    logManifestSignatureStatus(manifestText, style, logger());
}

} // namespace vesk::updater
