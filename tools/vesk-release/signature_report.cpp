#include "signature_report.h"

#include "encoding.h"
#include "rsa_keys.h"

#include "integrity/manifest_signature.h"
#include "integrity/rsa_public_key.h"

#include <exception>

namespace vesk::release {

namespace {

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

// The verdict the report's closing lines state; a report that states none ended in a parse error.
SignatureVerdict verdictFromLines(const std::vector<SignatureLine>& lines) {
    bool placeholder = false;
    for (const SignatureLine& line : lines) {
        const std::string& text = line.text;
        if (text == "Manifest signature is PLACEHOLDER - not actually signed") {
            placeholder = true;
        } else if (text == "Verification result: NOT SIGNED") {
            return placeholder ? SignatureVerdict::Placeholder : SignatureVerdict::NotSigned;
        } else if (text == "Verification result: INCOMPLETE") {
            return SignatureVerdict::Incomplete;
        } else if (text == "[OK] RSA Signature Verification: PASSED") {
            return SignatureVerdict::Passed;
        } else if (text == "[FAILED] RSA Signature Verification: FAILED" ||
                   text == "Verification result: FAILED (no manifest object found)") {
            return SignatureVerdict::Failed;
        } else if (text == "Verification result: SKIPPED") {
            return SignatureVerdict::Skipped;
        } else if (text == "Verification result: UNSUPPORTED ALGORITHM") {
            return SignatureVerdict::Unsupported;
        }
    }
    return SignatureVerdict::ParseError;
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
    // The updater's own report, line for line; only the verification underneath is this tool's.
    vesk::updater::reportManifestSignature(
        manifestText, vesk::updater::SignatureReportStyle::Detailed,
        [&](const std::string& level, const std::string& text) {
            report.lines.push_back({level, text});
        },
        &verifyLikeUpdater);
    report.verdict = verdictFromLines(report.lines);
    return report;
}

} // namespace vesk::release
