#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vesk::updater {

// What an existence test found out. Unknown means the system refused to say (an error other than
// "not found"), which the self-update steps treat as present: the later reads then report the trouble.
enum class PathPresence { Present, Absent, Unknown };

struct PresenceCheck {
    PathPresence presence = PathPresence::Absent;
    std::uint32_t error = 0; // the system error code when presence is Unknown
};

// Whether anything (file or folder) exists at path.
PresenceCheck checkPresence(const std::string& path);

// The existence test of the self-update steps: Present or Absent, and for an Unknown answer a WARNING
// line naming the path and the error, after which the path counts as present.
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

// The system's text for an error code, without the trailing line break.
std::string systemErrorText(std::uint32_t error);

} // namespace vesk::updater
