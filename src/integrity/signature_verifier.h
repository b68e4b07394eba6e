#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::updater {

// RSA signatures with SHA-256 (PKCS #1 v1.5) over CryptoAPI. The public key is Base64 of an XML RSA key
// value whose <Modulus> and <Exponent> are Base64 of big-endian numbers. Never logs, never throws.
class SignatureVerifier {
public:
    // True when signatureBase64 verifies over every byte of data, read as little-endian first and then
    // reversed (the big-endian order most signers write). On failure errorText gets a fixed reason
    // text; on success it is left alone.
    static bool verifySignature(const std::string& data, const std::string& signatureBase64,
                                const std::string& publicKeyBase64, std::string& errorText);

    // The bytes of standard Base64 text, or an empty sequence when it is not valid Base64.
    static std::vector<std::uint8_t> decodeBase64(const std::string& text);

    // Decodes the modulus and exponent of an XML RSA key value; true when both were found and are non-empty.
    static bool parseRsaKeyXml(const std::string& xmlText, std::vector<std::uint8_t>& modulus,
                               std::vector<std::uint8_t>& exponent);
};

} // namespace vesk::updater
