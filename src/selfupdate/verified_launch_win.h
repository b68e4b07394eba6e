#pragma once

#include "core/handles_win.h"

#include <optional>
#include <string>

namespace vesk::updater {

// A file opened so that nobody can write, rename or delete it while the handle lives, with the SHA-256 of
// the bytes read through that very handle: what was checked is what gets started.
struct PinnedFile {
    FileHandle handle;
    std::string sha256; // 64 lower-case hex digits
};

// Pins and hashes path; nothing when it cannot be opened that way or read.
std::optional<PinnedFile> pinFile(const std::string& path);

// Pins path and checks it against expectedSha256 (a signed manifest's value). Nothing, after an ERROR line
// naming what, when the value is missing or the file cannot be pinned or differs.
std::optional<PinnedFile> pinMatchingFile(const std::string& path, const std::string& expectedSha256,
                                          const std::string& what);

// The manifest object of the release this run's start-up check trusted, kept for the steps that start a
// program later in the run. Nothing until one was trusted.
void rememberTrustedRelease(const std::string& signedObjectText);
std::optional<std::string> rememberedTrustedRelease();

} // namespace vesk::updater
