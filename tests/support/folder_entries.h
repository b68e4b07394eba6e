#pragma once

#include <string>
#include <vector>

namespace vesk::test {

// The names of the files and folders directly inside folder (not "." or ".."), sorted; empty when the folder
// cannot be read.
std::vector<std::string> folderEntries(const std::string& folder);

} // namespace vesk::test
