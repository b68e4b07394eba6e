#include "integrity/rsa_public_key.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace vesk::updater {

namespace {

bool textBetween(std::string_view text, std::string_view openTag, std::string_view closeTag,
                 std::string& inner) {
    const std::size_t open = text.find(openTag);
    const std::size_t close = text.find(closeTag);
    if (open == std::string_view::npos || close == std::string_view::npos) {
        return false;
    }
    const std::size_t start = open + openTag.size();
    // A closing tag in front of the opening one encloses nothing; taking "the rest" would hand
    // arbitrary text to the decoder.
    if (close < start) {
        return false;
    }
    inner.assign(text.substr(start, close - start));
    return true;
}

void putLittleEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

} // namespace

bool findRsaKeyXmlNumbers(std::string_view xmlText, std::string& modulusBase64, std::string& exponentBase64) {
    return textBetween(xmlText, "<Modulus>", "</Modulus>", modulusBase64) &&
           textBetween(xmlText, "<Exponent>", "</Exponent>", exponentBase64);
}

bool buildRsaPublicKeyBlob(const std::vector<std::uint8_t>& modulus,
                           const std::vector<std::uint8_t>& exponent, std::vector<std::uint8_t>& blob) {
    // The bit length field is 32 bits wide too.
    if (modulus.empty() || modulus.size() > 0xFFFFFFFFu / 8) {
        return false;
    }
    // Leading zero bytes do not change the exponent's value; more than four significant bytes cannot
    // be expressed in the key header.
    const auto significant =
        std::find_if(exponent.begin(), exponent.end(), [](std::uint8_t b) { return b != 0; });
    if (exponent.end() - significant > 4) {
        return false;
    }
    std::uint32_t publicExponent = 0;
    for (auto it = significant; it != exponent.end(); ++it) {
        publicExponent = (publicExponent << 8) | *it;
    }

    constexpr std::uint8_t kPublicKeyBlob = 6;  // PUBLICKEYBLOB
    constexpr std::uint8_t kBlobVersion = 2;    // CUR_BLOB_VERSION
    constexpr std::uint32_t kRsaSign = 0x2400;  // CALG_RSA_SIGN
    constexpr std::uint32_t kRsa1 = 0x31415352; // "RSA1"

    std::vector<std::uint8_t> out;
    out.reserve(20 + modulus.size());
    out.push_back(kPublicKeyBlob);
    out.push_back(kBlobVersion);
    out.push_back(0); // reserved (two bytes)
    out.push_back(0);
    putLittleEndian32(out, kRsaSign);
    putLittleEndian32(out, kRsa1);
    // A leading zero byte of the modulus counts towards the bit length: the number is taken byte for byte as
    // the key text gives it.
    putLittleEndian32(out, static_cast<std::uint32_t>(modulus.size() * 8));
    putLittleEndian32(out, publicExponent);
    out.insert(out.end(), modulus.rbegin(), modulus.rend());
    blob = std::move(out);
    return true;
}

} // namespace vesk::updater
