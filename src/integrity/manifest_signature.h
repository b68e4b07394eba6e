#pragma once

#include <string>

namespace vesk::updater {

class Logger;

// How much the signature report says: Detailed for the preflight, Brief for restart-start.
enum class SignatureReportStyle { Detailed, Brief };

// Logs the manifest's signature status (the check is for the log only). Never throws.
void logManifestSignatureStatus(const std::string& manifestText, SignatureReportStyle style);

// The same report written to the given log.
void logManifestSignatureStatus(const std::string& manifestText, SignatureReportStyle style, Logger& log);

} // namespace vesk::updater
