#pragma once

#include <string>

namespace vesk::updater {

// Walks directory recursively (folder links are not followed) and returns the full path of the first
// regular file whose own name equals wantedName byte for byte, case included; "" when there is none or
// the walk hits an error.
std::string findFileInTree(const std::string& directory, const std::string& wantedName);

// Removes everything inside directory, clearing read-only attributes on the way; folder links are
// removed, never followed. True when the folder is empty afterwards.
bool removeDirectoryContents(const std::string& directory);

// Removes directory with everything in it. True when nothing of it is left (also when it never existed).
bool removeDirectoryTree(const std::string& directory);

} // namespace vesk::updater
