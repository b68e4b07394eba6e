// Compiled per executable, never into the library: the key is a property of the program that is shipped,
// and a test build can carry a test key while the library stays the same.
#include "core/trusted_key.h"

#ifndef VESK_TRUSTED_PUBLIC_KEY_TEXT
#define VESK_TRUSTED_PUBLIC_KEY_TEXT ""
#endif

namespace vesk::updater {

std::string_view trustedPublicKeyText() { return VESK_TRUSTED_PUBLIC_KEY_TEXT; }

} // namespace vesk::updater
