#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vesk::updater {

// Byte-wise, case-sensitive helpers for the download URLs of update files.

// True when text begins with "http://" or "https://".
bool isAbsoluteUrl(const std::string& text);
// Text up to and including its last "/"; empty when there is none.
std::string dirName(const std::string& text);
// Text after its last "/"; the whole text when there is none.
std::string baseName(const std::string& text);
// Text without all of its leading and trailing "/" characters.
std::string trimSlashes(const std::string& text);
// Joins two URL parts so that exactly one "/" stands between them (an empty part gives the other).
std::string joinUrlParts(const std::string& a, const std::string& b);

// The URLs to try for one file: for each base URL in order, the ZIP archive of the file and the plain
// file (archive first when preferZip is set).
class UrlCandidates {
public:
    UrlCandidates(std::vector<std::string> baseUrls, bool preferZip);

    // Starts a new sequence for a file location: an absolute URL (only its path is used against the
    // base URLs, and nameOverride is ignored) or a path relative to the base URLs (nameOverride, when
    // not empty, replaces the location's own file name).
    void reset(const std::string& location, const std::string& nameOverride);

    // Yields the next candidate; false when there is none left (or none at all).
    bool next(std::string& url, bool& isArchive);

private:
    std::vector<std::string> baseUrls;
    bool preferZip;
    std::string pathPrefix;
    std::string fileName;
    std::size_t baseIndex = 0;
    int variant = 0;
};

} // namespace vesk::updater
