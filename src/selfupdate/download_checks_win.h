#pragma once

#include "selfupdate/release_manifest.h"
#include "transfer/fallback_download.h"

#include <string>

namespace vesk::updater {

// Why a downloaded file does not match its manifest entry (the preflight's rejection texts); "" when it
// matches, or when the entry gives nothing to check and requireDigest is false.
std::string downloadRejection(const std::string& path, const FileEntryValues& values, bool requireDigest);

// How the download of one entry's file treats its candidates: the entry's size, when it has a readable one,
// bounds every body. When strict, a candidate that does not match the entry fails (a WARNING says why) and
// the next server is tried, so one bad mirror cannot keep a good file from arriving.
FallbackDownloadSteps candidateChecks(const std::string& name, const FileEntryValues& values, bool strict);

} // namespace vesk::updater
