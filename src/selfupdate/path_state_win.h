#pragma once

#include <string>

namespace vesk::updater {

// What an existence test found. Unknown is an error other than "not found" (a name the file system
// refuses, a denied look-up): the caller must not take it for either answer.
enum class PathPresence { Present, Absent, Unknown };

struct PathState {
    PathPresence presence = PathPresence::Unknown;
    bool directory = false;
    // The Windows error code of the failed look-up; 0 when the path is present.
    unsigned long error = 0;
};

// Looks the path up once; never throws.
PathState queryPathState(const std::string& path);

} // namespace vesk::updater
