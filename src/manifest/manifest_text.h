#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vesk::updater {

// Receives the search's log lines: a level ("DEBUG", "INFO") and the message.
using ManifestLogSink = std::function<void(const std::string& level, const std::string& message)>;

// Textual access to manifest JSON: what the updater reads, it reads through these two operations.
// Neither reads outside the text it is given, whatever that text holds.
class ManifestText {
public:
    // The text of the file entry whose "name" is fileName ("{" through "}"), or "" when not found.
    // Writes its DEBUG lines (and, once per process, a dump of the files array) to the log.
    static std::string findFileObject(const std::string& manifestText, const std::string& fileName);

    // The same search with its lines sent to log; the files array is dumped (at INFO) only while
    // filesArrayDumped is false, which the dump then sets. Needs nothing but the standard library, so
    // tools built for the host share it.
    static std::string findFileObject(std::string_view manifestText, std::string_view fileName,
                                      const ManifestLogSink& log, bool& filesArrayDumped);

    // The value after the first "\"key\":" in objectText (string decoded, object/array verbatim,
    // number as its digit run), or "". Never logs.
    static std::string extractValue(const std::string& objectText, const std::string& key);
};

// ManifestText::extractValue over a view of the text: reads only the bytes the view covers.
std::string extractManifestValue(std::string_view objectText, std::string_view key);

} // namespace vesk::updater
