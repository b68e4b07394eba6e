#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::updater {

// The Base64 texts of the two numbers of an XML RSA key value: what stands between the first
// "<Modulus>" and the first "</Modulus>", and likewise for "<Exponent>", untrimmed. False when a tag
// is missing or a closing tag stands before the end of its opening tag. Nothing else in the XML is read.
bool findRsaKeyXmlNumbers(std::string_view xmlText, std::string& modulusBase64, std::string& exponentBase64);

// The CryptoAPI PUBLICKEYBLOB (CALG_RSA_SIGN) for a big-endian modulus and exponent: the 20-byte header
// followed by the modulus least significant byte first. False, with blob untouched, when the modulus
// is empty or the header cannot hold its bit length or the exponent's value (32 bits each).
bool buildRsaPublicKeyBlob(const std::vector<std::uint8_t>& modulus,
                           const std::vector<std::uint8_t>& exponent, std::vector<std::uint8_t>& blob);

} // namespace vesk::updater
