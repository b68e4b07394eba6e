#pragma once

#include <functional>
#include <string>

namespace vesk::updater {

class Logger;

// How much the signature report says: Detailed for the preflight, Brief for restart-start.
enum class SignatureReportStyle { Detailed, Brief };

// Receives each report line with its level ("INFO", "WARNING", "DEBUG").
using SignatureLogSink = std::function<void(const std::string& level, const std::string& message)>;
// Verifies an RSA-SHA256 signature as SignatureVerifier::verifySignature does; errorText gets the reason on
// failure.
using SignatureVerifyFunction =
    std::function<bool(const std::string& data, const std::string& signatureBase64,
                       const std::string& publicKeyBase64, std::string& errorText)>;

// The signature report itself, free of platform calls: every line goes to sink, verification to verify.
// The release tool runs this same report so it speaks in the program's own words. Never throws.
void reportManifestSignature(const std::string& manifestText, SignatureReportStyle style,
                             const SignatureLogSink& sink, const SignatureVerifyFunction& verify);

// Logs the manifest's signature status (the check is for the log only). Never throws.
void logManifestSignatureStatus(const std::string& manifestText, SignatureReportStyle style);

// The same report written to the given log.
void logManifestSignatureStatus(const std::string& manifestText, SignatureReportStyle style, Logger& log);

} // namespace vesk::updater
