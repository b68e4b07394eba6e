#pragma once

#include <string>

namespace vesk::updater {

// What an existence test found. Failed is an error other than "not found" (a name the file system
// refuses, a denied look-up): the caller must not take it for either answer.
enum class PathLookup { Found, Missing, Failed };

struct PathLookupResult {
    PathLookup outcome = PathLookup::Failed;
    bool directory = false;
    // The Windows error code of the failed look-up; 0 when the path was found.
    unsigned long error = 0;
};

// Looks the path up once; never throws.
PathLookupResult lookUpPath(const std::string& path);

} // namespace vesk::updater
