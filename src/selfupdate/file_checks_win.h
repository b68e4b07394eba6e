#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vesk::updater {

// The existence test of the self-update steps. A look-up that fails with an error other than "not found"
// writes a WARNING naming the path and the error, and the path then counts as present: the later reads
// and moves report the trouble, and the run goes on.
bool existsForUpdate(const std::string& path);

// Size of a regular file; empty (with the system error code in error) when it cannot be read or the path
// names a folder.
std::optional<std::uint64_t> readFileSize(const std::string& path, std::uint32_t& error);

enum class DeleteOutcome { Deleted, NotFound, Failed };

struct DeleteResult {
    DeleteOutcome outcome = DeleteOutcome::Failed;
    std::uint32_t error = 0;
    std::string errorText; // the system's description of error when outcome is Failed
};

// Deletes one file. A file that is not there is reported as NotFound, every other refusal as Failed.
DeleteResult deleteFileReporting(const std::string& path);

} // namespace vesk::updater
