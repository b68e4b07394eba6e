#pragma once

#include <string>

namespace vesk::updater {

// For a catch-all handler around a whole self-update operation: writes an ERROR line naming the operation
// and the escaped error's text ("operation stopped by an unexpected error: text"). Call it only inside a
// catch block. Never throws, so the handler cannot let anything out either.
void logUnexpectedError(const char* operation) noexcept;

} // namespace vesk::updater
