#pragma once

#include <string>

namespace vesk::updater {

// The values a trusted-release build keeps under HKLM\SOFTWARE\VESK\Updater.
inline constexpr const char* kLegacyTrustedReleaseValue = "LastTrustedRelease"; // one record for all channels
inline constexpr const char* kTrustedKeyChainValue = "TrustedKeyChain";

enum class StoredState { Absent, Present, Unreadable };

// A REG_SZ value as read: Absent when the key or value does not exist, Unreadable when it exists but is not a
// string, is too large or cannot be read.
struct StoredText {
    StoredState state = StoredState::Absent;
    std::string text;
};

// The name of the newest-release record of a channel ("" is "stable"): "LastTrustedRelease." followed by the
// channel with every byte but a-z, 0-9, "_" and "-" written as %XX, so that any channel from the command
// line gives a plain name of its own (value names ignore case, so capitals are encoded too). "" when the
// name would be longer than 200 characters.
std::string trustedReleaseValueName(const std::string& channel);

// Reads a REG_SZ value under HKLM\SOFTWARE\VESK\Updater.
StoredText readUpdaterValue(const std::string& valueName);

// Writes a REG_SZ value there (creating the key when needed) and reads it back; true only when the value
// now holds exactly text.
bool writeUpdaterValue(const std::string& valueName, const std::string& text);

} // namespace vesk::updater
