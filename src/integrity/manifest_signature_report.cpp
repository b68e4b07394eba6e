#include "integrity/manifest_signature.h"

#include "core/log_line.h"
#include "integrity/manifest_document.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <stdexcept>

namespace vesk::updater {

namespace {

using Json = nlohmann::ordered_json;

// Level-named shorthands over the caller's sink, so the report reads like the program's other log code.
struct LineWriter {
    const SignatureLogSink& sink;
    void info(const std::string& message) const { sink("INFO", message); }
    void warning(const std::string& message) const { sink("WARNING", message); }
    void debug(const std::string& message) const { sink("DEBUG", message); }
};

std::string orNotSpecified(const std::string& value) {
    return value.empty() ? "(not specified)" : value;
}

// A signature block is a few short strings; a larger one is refused before it is parsed as a document.
constexpr std::size_t kMaxSignatureBlockBytes = 1 << 20;

// Steps through the signature block and logs what it finds; JSON and type errors propagate to the caller.
void reportSignature(const std::string& manifestText, bool detailed, const LineWriter& log,
                     const SignatureVerifyFunction& verify) {
    // Member order must survive parsing: the signed text is the manifest object re-serialised in the order
    // the publisher gave its members. Only the two members the report needs are kept, in one linear pass.
    const ScannedObject root = scanJsonObjectMembers(
        manifestText, {{"manifest", std::string::npos}, {"signature", kMaxSignatureBlockBytes}});
    const auto signatureMember = root.members.find("signature");
    if (!root.isObject || signatureMember == root.members.end()) {
        if (detailed) {
            log.warning("No signature object found in manifest");
            log.warning("Verification result: NOT SIGNED");
        } else {
            log.warning("Verification result: NO SIGNATURE");
        }
        return;
    }

    // value() refuses a block that is not an object and a member that is not a string.
    const Json block = Json::parse(signatureMember->second.compact);
    const std::string algorithm = block.value("algorithm", std::string());
    const std::string signature = block.value("signature", std::string());
    const std::string publicKey = block.value("public_key", std::string());
    const std::string timestamp = block.value("timestamp", std::string());
    const std::string signer = block.value("signer", std::string());

    if (detailed) {
        log.info("Signature found in manifest:");
        log.info("  Algorithm: " + orNotSpecified(logValue(algorithm)));
        log.info("  Timestamp: " + orNotSpecified(logValue(timestamp)));
        log.info("  Signer: " + orNotSpecified(logValue(signer)));
    } else {
        log.info("Signature found: Algorithm=" + logValue(algorithm) + ", Signer=" + logValue(signer));
    }

    if (signature.find("placeholder") != std::string::npos ||
        publicKey.find("placeholder") != std::string::npos) {
        if (detailed) {
            log.warning("Manifest signature is PLACEHOLDER - not actually signed");
            log.warning("Verification result: NOT SIGNED");
        } else {
            log.warning("Verification result: NOT SIGNED (placeholder detected)");
        }
        return;
    }

    if (detailed) {
        if (algorithm.empty() || signature.empty() || publicKey.empty()) {
            log.warning("Incomplete signature information");
            log.warning("Verification result: INCOMPLETE");
            return;
        }
        log.info("Manifest appears to be signed:");
        log.info("  Public key length: " + std::to_string(publicKey.size()) + " chars");
        log.info("  Signature length: " + std::to_string(signature.size()) + " chars");
    }

    if (algorithm == "RSA" || algorithm == "RSA-SHA256") {
        log.info("RSA signature detected - performing cryptographic verification...");
        const auto manifestMember = root.members.find("manifest");
        if (manifestMember == root.members.end()) {
            log.warning("Verification result: FAILED (no manifest object found)");
            return;
        }
        // Compact, document order, UTF-8 unescaped: exactly what the publisher signed.
        const std::string& signedText = manifestMember->second.compact;
        log.debug("Verifying with compact JSON: " + std::to_string(signedText.size()) + " bytes");
        if (detailed) {
            log.debug("First 200: " + logValue(signedText.substr(0, 200)));
        }
        std::string errorText;
        if (verify(signedText, signature, publicKey, errorText)) {
            log.info("[OK] RSA Signature Verification: PASSED");
            log.info("     Manifest authenticity confirmed");
            if (detailed) {
                log.info("     Manifest integrity confirmed");
            }
        } else {
            log.warning("[FAILED] RSA Signature Verification: FAILED");
            log.warning("     Error: " + logValue(errorText));
            log.warning("     NOTE: This is informational only");
            if (detailed) {
                log.warning("     Manifest authenticity cannot be guaranteed");
            }
        }
        return;
    }

    if (detailed && algorithm == "Ed25519") {
        log.info("Ed25519 signature detected");
        log.warning("Ed25519 verification: NOT YET IMPLEMENTED");
        log.warning("Verification result: SKIPPED");
        return;
    }

    if (detailed) {
        log.warning("Unknown algorithm: " + logValue(algorithm));
    }
    log.warning("Verification result: UNSUPPORTED ALGORITHM");
}

} // namespace

void reportManifestSignature(const std::string& manifestText, SignatureReportStyle style,
                             const SignatureLogSink& sink, const SignatureVerifyFunction& verify) {
    const LineWriter log{sink};
    const bool detailed = style == SignatureReportStyle::Detailed;
    log.info("=== Manifest Signature Verification (Log-Only) ===");
    // The check only informs: whatever goes wrong is logged and the update carries on.
    try {
        reportSignature(manifestText, detailed, log, verify);
    } catch (const std::exception& error) {
        if (detailed) {
            log.warning("Failed to parse signature: " + logValue(error.what()));
        }
        log.warning("Verification result: PARSE ERROR");
    } catch (...) {
        log.warning("Verification result: PARSE ERROR");
    }
    log.info("=== End Signature Verification ===");
    if (detailed) {
        log.info("NOTE: Update continues regardless of signature status (log-only mode)");
    }
    log.info("");
}

} // namespace vesk::updater
