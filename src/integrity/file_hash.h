#pragma once

#include <string>

namespace vesk::updater {

// SHA-256 of a file as 64 lower-case hexadecimal digits, or "" on any failure. Never logs.
std::string computeFileSha256(const std::string& filePath);

// SHA-256 of everything an open file handle (a Windows HANDLE) reads from its current position on, or ""
// on any failure, a failed read included: a digest of part of a file must never pass for the file's. Used
// where the bytes checked must be the bytes then installed or started through the same handle.
std::string computeHandleSha256(void* fileHandle);

} // namespace vesk::updater
