#pragma once

#include <string>

namespace vesk::updater {

// SHA-256 of a file as 64 lower-case hexadecimal digits, or "" on any failure. Never logs.
std::string computeFileSha256(const std::string& filePath);

} // namespace vesk::updater
