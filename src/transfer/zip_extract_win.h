#pragma once

#include "transfer/zip_reader.h"

#include <string>

namespace vesk::updater {

// Unpacks the ZIP archive at archivePath (recognised by its content, whatever its name) with its whole
// folder tree into the existing folder directory. On any status but Ok, whatever was written is removed
// again so that directory is left as empty as it was found.
ZipStatus extractArchive(const std::string& archivePath, const std::string& directory,
                         const ZipLimits& limits = {});

} // namespace vesk::updater
