#include "core/logger.h"
#include "manifest/manifest_text.h"

namespace vesk::updater {

namespace {

// Set once the chosen files array has been written to the log in full; never reset, so the dump
// appears once per process whichever lookup reaches it first. Only one thread searches at a time.
bool filesArrayDumped = false;

} // namespace

std::string ManifestText::findFileObject(const std::string& manifestText, const std::string& fileName) {
    return findFileObject(
        manifestText, fileName,
        [](const std::string& level, const std::string& message) { logger().log(level, message); },
        filesArrayDumped);
}

} // namespace vesk::updater
