#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesk::updater {

// The program's own executable, checked before the core files and replaced through a copy of itself.
inline constexpr const char* kOwnExecutableName = "VESK_Updater.exe";

// The files the console updater cannot run without, in the order the preflight checks them.
inline constexpr std::array<const char*, 4> kCoreFileNames = {"Updater.exe", "libcurl.dll", "libsodium.dll",
                                                              "zlib1.dll"};

// Reads a manifest "size" text as an unsigned 64-bit decimal number: leading white space and one sign are
// accepted, the leading digits are read and whatever follows them is ignored. A minus sign wraps the value
// the way the C library's unsigned readers do. Empty when there are no digits or the value overflows.
std::optional<std::uint64_t> parseSizeText(const std::string& text);

// Whole-string comparison of two hexadecimal digests, ignoring letter case.
bool digestsEqual(const std::string& expected, const std::string& actual);

// The first 16 characters of a digest (all of it when shorter), as the log lines show digests.
std::string digestPreview(const std::string& digest);

// Why an installed core file needs replacing because its size differs.
std::string installedSizeMismatchReason(const std::string& sizeText, std::uint64_t actualSize);

// Why a downloaded core file is rejected because its size differs.
std::string downloadedSizeMismatchText(const std::string& sizeText, std::uint64_t downloadedSize);

// Why a downloaded core file is rejected because its digest differs.
std::string downloadedHashMismatchText(const std::string& expectedDigest, const std::string& actualDigest);

// The three places one core file occupies: where it is installed, where its download waits for
// verification, and where the previous copy is kept. The last two use the plain name even when the
// entry places the file in a subfolder.
struct CoreFilePaths {
    std::string installed;
    std::string temporaryDownload;
    std::string backup;
};
CoreFilePaths coreFilePaths(const std::string& installDirectory, const std::string& name,
                            const std::string& targetPath);

std::string backupDirectoryOf(const std::string& installDirectory);
std::string updateDirectoryOf(const std::string& installDirectory);

// True when a manifest "target_path" stays inside the install directory: relative, no drive or stream
// colon, no "." or ".." component, no empty component. The program runs elevated, so a manifest must not be
// able to make it write anywhere else.
bool isContainedTargetPath(const std::string& targetPath);

// The files of the executable hand-over, all derived from the install directory.
struct SelfReplacementPaths {
    std::string updateFolder;      // install + "\update"
    std::string updateLogFolder;   // install + "\update\logs", where the copy's own log goes
    std::string copy;              // install + "\update\VESK_Updater.exe"
    std::string temporaryDownload; // install + "\VESK_Updater.exe.tmp"
    std::string installed;         // install + "\VESK_Updater.exe"
};
SelfReplacementPaths selfReplacementPaths(const std::string& installDirectory);

// The conventional download location of the own executable on the built-in server, used when its entry
// names no "url": base + "/updates/" + version + "." + build + "/VESK_Updater.exe"; "" when version or
// build is empty.
std::string defaultOwnExecutableUrl(const std::string& defaultBaseUrl, const std::string& version,
                                    const std::string& build);

// Counts of one preflight run, reported in its summary.
struct PreflightCounters {
    int checked = 0;
    int needingUpdate = 0;
    int updated = 0;
};

// The summary lines (all INFO) that close a preflight run that got as far as the core files.
std::vector<std::string> preflightSummaryLines(const PreflightCounters& counters);

} // namespace vesk::updater
