#pragma once

#include <string>

namespace vesk::updater {

// Textual access to manifest JSON: what the updater reads, it reads through these two operations.
class ManifestText {
public:
    // The text of the file entry whose "name" is fileName ("{" through "}"), or "" when not found.
    // Writes its DEBUG lines (and, once per process, a dump of the files array) to the log.
    static std::string findFileObject(const std::string& manifestText, const std::string& fileName);

    // The value after the first "\"key\":" in objectText (string decoded, object/array verbatim,
    // number as its digit run), or "". Never logs.
    static std::string extractValue(const std::string& objectText, const std::string& key);
};

} // namespace vesk::updater
