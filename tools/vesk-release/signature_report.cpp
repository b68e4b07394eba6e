#include "signature_report.h"

#include "encoding.h"
#include "rsa_keys.h"

#include "integrity/rsa_public_key.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>

namespace vesk::release {

namespace {

using Json = nlohmann::ordered_json;

// The platform's code for a signature that does not verify (NTE_BAD_SIGNATURE), as the updater prints it.
constexpr const char* kBadSignatureCode = "2148073478";

// The updater's key parsing, with this tool's decoder standing in for the platform's Base64 decoder.
bool parseRsaKeyXml(const std::string& xml, std::string& modulus, std::string& exponent) {
    std::string modulusBase64, exponentBase64;
    if (!vesk::updater::findRsaKeyXmlNumbers(xml, modulusBase64, exponentBase64)) {
        return false;
    }
    decodeBase64(modulusBase64, modulus);
    decodeBase64(exponentBase64, exponent);
    return !modulus.empty() && !exponent.empty();
}

std::string orNotSpecified(const std::string& value) {
    return value.empty() ? "(not specified)" : value;
}

} // namespace

bool verifyLikeUpdater(const std::string& data, const std::string& signatureBase64,
                       const std::string& publicKeyBase64, std::string& errorText) {
    std::string keyXml;
    if (!decodeBase64(publicKeyBase64, keyXml)) {
        errorText = "Failed to decode public key from Base64";
        return false;
    }
    std::string modulus, exponent;
    if (!parseRsaKeyXml(keyXml, modulus, exponent)) {
        errorText = "Failed to parse RSA public key XML";
        return false;
    }
    std::string signature;
    if (!decodeBase64(signatureBase64, signature)) {
        errorText = "Failed to decode signature from Base64";
        return false;
    }
    // Whatever the updater cannot turn into its platform key blob, it cannot import.
    std::vector<std::uint8_t> blob;
    if (!vesk::updater::buildRsaPublicKeyBlob(std::vector<std::uint8_t>(modulus.begin(), modulus.end()),
                                              std::vector<std::uint8_t>(exponent.begin(), exponent.end()),
                                              blob)) {
        errorText = "Failed to import RSA public key";
        return false;
    }
    // The platform reads the bytes as given as a little-endian number first, then reversed; OpenSSL reads
    // big-endian, so the first attempt is the reversed text here.
    std::string reversed(signature.rbegin(), signature.rend());
    if (verifyRsaSha256(data, reversed, modulus, exponent) ||
        verifyRsaSha256(data, signature, modulus, exponent)) {
        return true;
    }
    errorText = std::string("Signature verification failed - tried both byte orders (CryptoAPI error: ") +
                kBadSignatureCode + ")";
    return false;
}

bool isAcceptableVerdict(SignatureVerdict verdict) {
    return verdict == SignatureVerdict::Passed || verdict == SignatureVerdict::Placeholder;
}

SignatureReport reportSignature(const std::string& manifestText) {
    SignatureReport report;
    auto info = [&](const std::string& text) { report.lines.push_back({"INFO", text}); };
    auto warning = [&](const std::string& text) { report.lines.push_back({"WARNING", text}); };
    auto debug = [&](const std::string& text) { report.lines.push_back({"DEBUG", text}); };

    info("=== Manifest Signature Verification (Log-Only) ===");
    try {
        const Json root = Json::parse(manifestText);
        if (!root.is_object() || !root.contains("signature")) {
            warning("No signature object found in manifest");
            warning("Verification result: NOT SIGNED");
            report.verdict = SignatureVerdict::NotSigned;
        } else {
            const Json& block = root.at("signature");
            const std::string algorithm = block.value("algorithm", std::string());
            const std::string signature = block.value("signature", std::string());
            const std::string publicKey = block.value("public_key", std::string());
            const std::string timestamp = block.value("timestamp", std::string());
            const std::string signer = block.value("signer", std::string());
            info("Signature found in manifest:");
            info("  Algorithm: " + orNotSpecified(algorithm));
            info("  Timestamp: " + orNotSpecified(timestamp));
            info("  Signer: " + orNotSpecified(signer));
            if (signature.find("placeholder") != std::string::npos ||
                publicKey.find("placeholder") != std::string::npos) {
                warning("Manifest signature is PLACEHOLDER - not actually signed");
                warning("Verification result: NOT SIGNED");
                report.verdict = SignatureVerdict::Placeholder;
            } else if (algorithm.empty() || signature.empty() || publicKey.empty()) {
                warning("Incomplete signature information");
                warning("Verification result: INCOMPLETE");
                report.verdict = SignatureVerdict::Incomplete;
            } else {
                info("Manifest appears to be signed:");
                info("  Public key length: " + std::to_string(publicKey.size()) + " chars");
                info("  Signature length: " + std::to_string(signature.size()) + " chars");
                if (algorithm == "RSA" || algorithm == "RSA-SHA256") {
                    info("RSA signature detected - performing cryptographic verification...");
                    if (!root.contains("manifest")) {
                        warning("Verification result: FAILED (no manifest object found)");
                        report.verdict = SignatureVerdict::Failed;
                    } else {
                        const std::string signedText = root.at("manifest").dump();
                        debug("Verifying with compact JSON: " + std::to_string(signedText.size()) + " bytes");
                        debug("First 200: " + signedText.substr(0, std::min<size_t>(200, signedText.size())));
                        std::string errorText;
                        if (verifyLikeUpdater(signedText, signature, publicKey, errorText)) {
                            info("[OK] RSA Signature Verification: PASSED");
                            info("     Manifest authenticity confirmed");
                            info("     Manifest integrity confirmed");
                            report.verdict = SignatureVerdict::Passed;
                        } else {
                            warning("[FAILED] RSA Signature Verification: FAILED");
                            warning("     Error: " + errorText);
                            warning("     NOTE: This is informational only");
                            warning("     Manifest authenticity cannot be guaranteed");
                            report.verdict = SignatureVerdict::Failed;
                        }
                    }
                } else if (algorithm == "Ed25519") {
                    info("Ed25519 signature detected");
                    warning("Ed25519 verification: NOT YET IMPLEMENTED");
                    warning("Verification result: SKIPPED");
                    report.verdict = SignatureVerdict::Skipped;
                } else {
                    warning("Unknown algorithm: " + algorithm);
                    warning("Verification result: UNSUPPORTED ALGORITHM");
                    report.verdict = SignatureVerdict::Unsupported;
                }
            }
        }
    } catch (const std::exception& e) {
        warning(std::string("Failed to parse signature: ") + e.what());
        warning("Verification result: PARSE ERROR");
        report.verdict = SignatureVerdict::ParseError;
    }
    info("=== End Signature Verification ===");
    info("NOTE: Update continues regardless of signature status (log-only mode)");
    info("");
    return report;
}

} // namespace vesk::release
