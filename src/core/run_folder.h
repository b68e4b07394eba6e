#pragma once

#include <string>

namespace vesk::updater {

// Where this run keeps its temporary files: the run's own folder once one has been set, otherwise the
// system's temporary folder. Ends with a backslash; "" when neither is known.
std::string runTemporaryFolder();

// Makes folder (ending with a backslash) the place for this run's temporary files.
void setRunTemporaryFolder(const std::string& folder);

} // namespace vesk::updater
