#include "selfupdate/pending_safety.h"

#include <cstdint>

namespace vesk::updater {

namespace {

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string withBackslashes(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string withoutTrailingSeparators(std::string path) {
    while (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

bool sameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

// A device name opens the device instead of a file, with or without an extension ("nul.txt").
bool isDeviceName(const std::string& component) {
    std::string stem = component.substr(0, component.find('.'));
    for (char& c : stem) {
        c = asciiLower(c);
    }
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") {
        return true;
    }
    return stem.size() == 4 && (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

bool isPlainComponent(const std::string& component) {
    if (component.empty() || component == "." || component == ".." || component.back() == '.' ||
        component.back() == ' ' || isDeviceName(component)) {
        return false;
    }
    for (const char c : component) {
        if (static_cast<unsigned char>(c) < 0x20 || std::string("<>:\"|?*").find(c) != std::string::npos) {
            return false;
        }
    }
    return true;
}

std::uint64_t fnv1a64(const std::string& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string hex64(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i) {
        text[static_cast<size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return text;
}

} // namespace

const char* pendingStepName(PendingStep step) {
    switch (step) {
    case PendingStep::Verified:
        return "verified";
    case PendingStep::BackupWritten:
        return "backup-written";
    case PendingStep::BackupPlaced:
        return "backup-placed";
    case PendingStep::CopyStarted:
        return "copy-started";
    case PendingStep::CopyWritten:
        return "copy-written";
    case PendingStep::Placed:
        return "placed";
    case PendingStep::FilesDone:
        return "files-done";
    }
    return "unknown";
}

bool pathLiesInside(const std::string& path, const std::string& folder) {
    const std::string base = withoutTrailingSeparators(withBackslashes(folder));
    const std::string candidate = withBackslashes(path);
    if (base.empty() || candidate.size() <= base.size() + 1 || candidate[base.size()] != '\\' ||
        !sameIgnoringAsciiCase(candidate.substr(0, base.size()), base)) {
        return false;
    }
    size_t start = base.size() + 1;
    while (true) {
        const size_t end = candidate.find('\\', start);
        if (!isPlainComponent(candidate.substr(start, end == std::string::npos ? end : end - start))) {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

bool isSha256Text(const std::string& text) {
    if (text.size() != 64) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string trustedPlacementRefusal(const PendingFileEntry& entry, const std::string& backupPath,
                                    const std::string& installFolder) {
    if (entry.expectedSha256.empty()) {
        return "no expected SHA-256 for " + entry.targetName;
    }
    if (!isSha256Text(entry.expectedSha256)) {
        return "the expected SHA-256 of " + entry.targetName + " is not 64 lower-case hexadecimal digits";
    }
    if (!pathLiesInside(entry.targetPath, installFolder)) {
        return "target outside the install folder " + installFolder + ": " + entry.targetPath;
    }
    if (!pathLiesInside(backupPath, installFolder)) {
        return "backup outside the install folder " + installFolder + ": " + backupPath;
    }
    return {};
}

std::string pendingLockName(const std::string& installFolder) {
    std::string key = withoutTrailingSeparators(withBackslashes(installFolder));
    for (char& c : key) {
        c = asciiLower(c);
    }
    // Global: an installer in another session must see the same lock. Backslashes would name namespaces.
    return "Global\\VESK_Updater_PendingSelfUpdate_" + hex64(fnv1a64(key));
}

std::string pendingRecordFingerprint(const std::string& manifestContent) {
    return hex64(fnv1a64(manifestContent));
}

std::string besideTemporaryPath(const std::string& path) {
    return path + ".vesk-partial";
}

std::string backupFingerprintPath(const std::string& backupPath) {
    return backupPath + ".record";
}

std::string keptRecordLine(const std::vector<std::string>& failedNames) {
    std::string line = "Pending self-update kept for the next run; not placed:";
    for (size_t i = 0; i < failedNames.size(); ++i) {
        line += (i == 0 ? " " : ", ") + failedNames[i];
    }
    return line;
}

} // namespace vesk::updater
