#include "selfupdate/pending_self_update.h"

#include "manifest/manifest_text.h"

namespace vesk::updater {

PendingManifestLayout readPendingManifestLayout(const std::string& content) {
    PendingManifestLayout layout;
    layout.installDirectory = ManifestText::extractValue(content, "install_directory");
    if (layout.installDirectory.empty()) {
        layout.problem = PendingManifestProblem::NoInstallDirectory;
        return layout;
    }
    // The writer of the pending manifest puts the key directly before its colon; nothing else is looked for.
    const size_t key = content.find("\"files\":");
    if (key == std::string::npos) {
        layout.problem = PendingManifestProblem::NoFilesKey;
        return layout;
    }
    const size_t open = content.find('[', key);
    const size_t close = open == std::string::npos ? std::string::npos : content.find(']', open);
    if (close == std::string::npos) {
        layout.problem = PendingManifestProblem::InvalidFilesArray;
        return layout;
    }
    layout.filesArrayText = content.substr(open + 1, close - open - 1);
    return layout;
}

std::vector<std::string> splitPendingFileObjects(const std::string& filesArrayText) {
    std::vector<std::string> objects;
    size_t position = 0;
    while (true) {
        const size_t open = filesArrayText.find('{', position);
        if (open == std::string::npos) {
            break;
        }
        const size_t close = filesArrayText.find('}', open);
        if (close == std::string::npos) {
            break;
        }
        objects.push_back(filesArrayText.substr(open, close - open + 1));
        position = close + 1;
    }
    return objects;
}

PendingFileEntry readPendingFileEntry(const std::string& objectText) {
    PendingFileEntry entry;
    entry.sourcePath = ManifestText::extractValue(objectText, "source_path");
    entry.targetName = ManifestText::extractValue(objectText, "target_name");
    entry.targetPath = ManifestText::extractValue(objectText, "target_path");
    entry.expectedSha256 = ManifestText::extractValue(objectText, "expected_sha256");
    entry.expectedSize = ManifestText::extractValue(objectText, "expected_size");
    return entry;
}

std::optional<std::uint32_t> parseExpectedSize(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

std::string pendingBackupDirectory(const std::string& installDirectory) {
    return installDirectory + "\\backup";
}

std::string pendingBackupPath(const std::string& installDirectory, const std::string& targetName) {
    return pendingBackupDirectory(installDirectory) + "\\" + targetName + ".backup";
}

std::string parentDirectoryOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

std::vector<std::string> describeParsedFileObject(const std::string& objectText,
                                                  const PendingFileEntry& entry) {
    return {
        "\n=== Debug: JSON Parsing ===",
        "Raw JSON object: " + objectText.substr(0, 200) + "...",
        "Parsed source_path: [" + entry.sourcePath + "]",
        "Parsed target_name: [" + entry.targetName + "]",
        "Parsed target_path: [" + entry.targetPath + "]",
    };
}

std::vector<std::string> describeMissingFileInformation(const PendingFileEntry& entry) {
    const auto yesNo = [](const std::string& value) { return value.empty() ? "YES" : "NO"; };
    return {
        "Error: Missing file information in manifest object.",
        std::string("sourcePath empty: ") + yesNo(entry.sourcePath),
        std::string("targetName empty: ") + yesNo(entry.targetName),
        std::string("targetPath empty: ") + yesNo(entry.targetPath),
    };
}

std::string moveFailureCause(unsigned long errorCode) {
    switch (errorCode) {
    case 2:
        return "  Cause: Source file not found";
    case 3:
        return "  Cause: Path not found";
    case 5:
        return "  Cause: Access denied - file may be in use";
    case 80:
        return "  Cause: Target file exists and can't be overwritten";
    case 183:
        return "  Cause: Target file already exists (should have been overwritten)";
    default:
        return "  Cause: Unknown error (" + std::to_string(errorCode) + ")";
    }
}

std::string hashPreview(const std::string& hash) {
    return hash.substr(0, 16) + "...";
}

} // namespace vesk::updater
