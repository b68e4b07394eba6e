#pragma once

#include <string>
#include <vector>

namespace vesk::release {

// What the updater concludes about a manifest's signature block.
enum class SignatureVerdict {
    NotSigned,   // no "signature" object
    Placeholder, // "placeholder" in the signature or public key: published unsigned on purpose
    Incomplete,  // algorithm, signature or public key empty
    Passed,      // RSA-SHA256 verified
    Failed,      // RSA-SHA256 did not verify, or no "manifest" object to verify
    Skipped,     // Ed25519: recognised, not verified
    Unsupported, // any other algorithm
    ParseError,  // not JSON, or the block has the wrong shape
};

struct SignatureLine {
    std::string level; // "INFO", "WARNING", "DEBUG"
    std::string text;
};

struct SignatureReport {
    SignatureVerdict verdict = SignatureVerdict::ParseError;
    // The lines the updater's preflight writes to its log for this manifest, in order, without time stamps.
    std::vector<SignatureLine> lines;
};

// Examines the signature block exactly as the updater's log-only check does (detailed wording) and
// returns the lines it would log. Verification uses OpenSSL in place of the platform's CryptoAPI, with
// the same inputs, byte orders and reason texts.
SignatureReport reportSignature(const std::string& manifestText);

// The updater's RSA verifier: Base64 public key holding the XML key value, Base64 signature in either
// byte order. On failure errorText is the updater's reason text.
bool verifyLikeUpdater(const std::string& data, const std::string& signatureBase64,
                       const std::string& publicKeyBase64, std::string& errorText);

// True for verdicts that mean the updater reads the signature as intended by the publisher: passed, or
// deliberately unsigned (a placeholder). Everything else points at a broken or tampered manifest.
bool isAcceptableVerdict(SignatureVerdict verdict);

} // namespace vesk::release
