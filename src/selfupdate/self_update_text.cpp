#include "selfupdate/self_update_text.h"

#include <cctype>
#include <limits>

namespace vesk::updater {

std::optional<std::uint64_t> parseSizeText(const std::string& text) {
    size_t position = 0;
    while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position]))) {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    size_t digits = 0;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position, ++digits) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[position] - '0');
        if (value > (kMax - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return negative ? (~value + 1) : value;
}

bool digestsEqual(const std::string& expected, const std::string& actual) {
    if (expected.size() != actual.size()) {
        return false;
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(expected[i])) !=
            std::tolower(static_cast<unsigned char>(actual[i]))) {
            return false;
        }
    }
    return true;
}

std::string digestPreview(const std::string& digest) {
    return digest.substr(0, 16);
}

std::string installedSizeMismatchReason(const std::string& sizeText, std::uint64_t actualSize) {
    return "size mismatch (expected " + sizeText + ", actual " + std::to_string(actualSize) + ")";
}

std::string downloadedSizeMismatchText(const std::string& sizeText, std::uint64_t downloadedSize) {
    return "size mismatch (expected " + sizeText + ", downloaded " + std::to_string(downloadedSize) + ")";
}

std::string downloadedHashMismatchText(const std::string& expectedDigest, const std::string& actualDigest) {
    return "hash mismatch (expected " + digestPreview(expectedDigest) + "..., actual " +
           digestPreview(actualDigest) + "...)";
}

std::string backupDirectoryOf(const std::string& installDirectory) {
    return installDirectory + "\\backup";
}

std::string updateDirectoryOf(const std::string& installDirectory) {
    return installDirectory + "\\update";
}

CoreFilePaths coreFilePaths(const std::string& installDirectory, const std::string& name,
                            const std::string& targetPath) {
    CoreFilePaths paths;
    paths.installed = installDirectory + "\\" + (targetPath.empty() ? name : targetPath);
    paths.temporaryDownload = installDirectory + "\\" + name + ".tmp_preflight";
    paths.backup = backupDirectoryOf(installDirectory) + "\\" + name + ".backup";
    return paths;
}

bool isContainedTargetPath(const std::string& targetPath) {
    if (targetPath.empty()) {
        return false;
    }
    size_t start = 0;
    while (true) {
        const size_t end = targetPath.find_first_of("\\/", start);
        const std::string component =
            targetPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // Empty components mean a leading separator (a rooted path), a doubled or a trailing one.
        if (component.empty() || component.find(':') != std::string::npos) {
            return false;
        }
        // Windows drops trailing dots and blanks from a component, so "..." or ".. " would climb like "..".
        const char last = component.back();
        if (last == '.' || last == ' ') {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

SelfReplacementPaths selfReplacementPaths(const std::string& installDirectory) {
    SelfReplacementPaths paths;
    paths.updateFolder = updateDirectoryOf(installDirectory);
    paths.updateLogFolder = paths.updateFolder + "\\logs";
    paths.copy = paths.updateFolder + "\\" + kOwnExecutableName;
    paths.temporaryDownload = installDirectory + "\\" + kOwnExecutableName + ".tmp";
    paths.installed = installDirectory + "\\" + kOwnExecutableName;
    return paths;
}

std::string defaultOwnExecutableUrl(const std::string& defaultBaseUrl, const std::string& version,
                                    const std::string& build) {
    if (version.empty() || build.empty()) {
        return "";
    }
    return defaultBaseUrl + "/updates/" + version + "." + build + "/" + kOwnExecutableName;
}

std::vector<std::string> preflightSummaryLines(const PreflightCounters& counters) {
    return {"=== Preflight Update Summary ===", "Files checked: " + std::to_string(counters.checked),
            "Files needing update: " + std::to_string(counters.needingUpdate),
            "Files successfully updated: " + std::to_string(counters.updated), "Preflight update completed"};
}

} // namespace vesk::updater
