#pragma once

#include "integrity/manifest_trust.h"

#include <functional>
#include <optional>
#include <string>

namespace vesk::updater {

// What a program built with a trusted release key holds manifests against: the key, and the record of
// the newest release it has trusted so far. With an empty key nothing is enforced.
struct ReleaseTrust {
    std::string keyText;
    std::function<std::optional<std::string>()> readRecord;     // the stored record text, if any
    std::function<bool(const std::string& record)> writeRecord; // true when stored

    bool enforced() const { return !keyText.empty(); }

    // The key compiled into this program and the record in the machine's registry.
    static ReleaseTrust forThisProgram();
};

// Judges a downloaded manifest against trust (which must be enforced), logs the verdict line and, for a
// trusted manifest naming a newer release than the record, stores it as the new record.
TrustVerdict checkReleaseTrust(const std::string& manifestText, const ReleaseTrust& trust);

} // namespace vesk::updater
