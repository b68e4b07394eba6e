#pragma once

#include <string_view>

namespace vesk::updater {

// The public keys the product was built to trust, in the updater's key text (Base64 of the XML RSA key
// value that `vesk-release keygen` writes for the updater), several separated by ",". Empty in an ordinary
// build. It is compiled
// into each executable on its own (src/core/trusted_key_value.cpp), so one library serves both modes.
std::string_view trustedPublicKeyText();

// True when the program was built with trusted keys: manifests must then carry a signature made with
// one of them before anything from them is installed. There is no run-time switch that turns this off.
inline bool trustedReleaseMode() { return !trustedPublicKeyText().empty(); }

} // namespace vesk::updater
