#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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

// Which files array findFileObject searches: of all "\"files\":" occurrences, the one whose array (from the
// first "[" after it, brackets counted regardless of strings) spans the most characters, the first among
// equals. Found in one pass over the text, however many occurrences there are.
struct FilesArrayChoice {
    std::size_t occurrences = 0;               // how many "\"files\":" the text holds
    std::size_t keyOffset = std::string::npos; // the chosen occurrence; npos when no array spans anything
    std::size_t span = 0;                      // characters the chosen array spans
    std::size_t open = std::string::npos;      // its "["
    std::size_t end = 0;                       // one past its matching "]" (the text's end when unclosed)
    bool closed = false;
};

// counted, when given, learns how many occurrences there are before measured, when given, sees every
// occurrence that has a "[" after it, in text order, with its span.
FilesArrayChoice
chooseFilesArray(std::string_view text, const std::function<void(std::size_t count)>& counted = {},
                 const std::function<void(std::size_t offset, std::size_t span)>& measured = {});

// findFileObject for many names over one manifest text: the files array is chosen once and its entry names
// are indexed, so each lookup costs about the length of the name rather than of the text. Keeps a view of
// the text, which must outlive the index.
class ManifestFilesIndex {
public:
    explicit ManifestFilesIndex(std::string_view manifestText);
    ManifestFilesIndex(const ManifestFilesIndex&) = delete;
    ManifestFilesIndex& operator=(const ManifestFilesIndex&) = delete;

    // The lines findFileObject logs between "Searching for file: <name>" and the files-array dump; they
    // are the same for every name. When the array cannot be used, the last of them says why.
    const std::vector<std::pair<std::string, std::string>>& arrayLines() const { return arrayLines_; }
    bool arrayFound() const { return found_; }
    std::string_view content() const { return content_; } // what the dump would show

    // What findFileObject returns for fileName; entryLog receives the lines it logs after the dump.
    std::string find(std::string_view fileName, const ManifestLogSink& entryLog) const;

private:
    struct NameAt {
        std::size_t offset;     // of "\"name\":" in the content
        std::size_t braceOpen;  // last "{" before it, or npos
        std::size_t braceClose; // first "}" after it, or npos
    };
    std::vector<std::pair<std::string, std::string>> arrayLines_;
    bool found_ = false;
    std::string_view content_;
    std::vector<NameAt> names_;
    // One map per spacing after the colon (one, two, no space: the order names are tried in), from the
    // text between the value's quotes to the first such entry.
    std::unordered_map<std::string_view, std::size_t> bySpacing_[3];
};

// ManifestText::extractValue over a view of the text: reads only the bytes the view covers.
std::string extractManifestValue(std::string_view objectText, std::string_view key);

} // namespace vesk::updater
