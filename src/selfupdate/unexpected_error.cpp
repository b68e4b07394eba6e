#include "selfupdate/unexpected_error.h"

#include "core/logger.h"

#include <exception>

namespace vesk::updater {

void logUnexpectedError(const char* operation) noexcept {
    try {
        std::string detail = "unknown error";
        try {
            throw;
        } catch (const std::exception& error) {
            detail = error.what();
        } catch (...) {
        }
        logger().error(std::string(operation) + " stopped by an unexpected error: " + detail);
    } catch (...) {
        // Out of memory even for the message: the caller's result still says that the operation failed.
    }
}

} // namespace vesk::updater
