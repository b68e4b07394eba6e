#include "integrity/signature_verifier_win.h"

#include "core/handles_win.h"
#include "core/wide_text.h"
#include "integrity/rsa_public_key.h"
#include "integrity/signature_verifier.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace vesk::updater {

std::vector<std::uint8_t> SignatureVerifier::decodeBase64(const std::string& text) {
    // The length is passed explicitly so that the whole text is decoded (an embedded NUL is invalid
    // Base64, not the end of the text).
    if (text.size() > std::numeric_limits<DWORD>::max()) {
        return {};
    }
    // Base64 is ASCII: any other byte turns into a character the decoder refuses, as it should.
    const std::wstring wide = widen(text);
    const DWORD textLength = static_cast<DWORD>(wide.size());
    DWORD size = 0;
    if (!::CryptStringToBinaryW(wide.c_str(), textLength, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                                nullptr)) {
        return {};
    }
    std::vector<std::uint8_t> bytes(size);
    if (size == 0) {
        return bytes;
    }
    if (!::CryptStringToBinaryW(wide.c_str(), textLength, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr,
                                nullptr)) {
        return {};
    }
    bytes.resize(size);
    return bytes;
}

bool SignatureVerifier::parseRsaKeyXml(const std::string& xmlText, std::vector<std::uint8_t>& modulus,
                                       std::vector<std::uint8_t>& exponent) {
    std::string modulusBase64;
    std::string exponentBase64;
    if (!findRsaKeyXmlNumbers(xmlText, modulusBase64, exponentBase64)) {
        return false;
    }
    modulus = decodeBase64(modulusBase64);
    exponent = decodeBase64(exponentBase64);
    return !modulus.empty() && !exponent.empty();
}

bool SignatureVerifier::verifySignature(const std::string& data, const std::string& signatureBase64,
                                        const std::string& publicKeyBase64, std::string& errorText) {
    return verifySignatureWith(SignatureCryptoApi{}, data, signatureBase64, publicKeyBase64, errorText);
}

bool verifySignatureWith(const SignatureCryptoApi& api, const std::string& data,
                         const std::string& signatureBase64, const std::string& publicKeyBase64,
                         std::string& errorText) {
    const std::vector<std::uint8_t> keyBytes = SignatureVerifier::decodeBase64(publicKeyBase64);
    if (keyBytes.empty()) {
        errorText = "Failed to decode public key from Base64";
        return false;
    }

    std::vector<std::uint8_t> modulus;
    std::vector<std::uint8_t> exponent;
    std::vector<std::uint8_t> keyBlob;
    // A key whose exponent does not fit the platform's key header is as unusable as unreadable XML.
    if (!SignatureVerifier::parseRsaKeyXml(std::string(keyBytes.begin(), keyBytes.end()), modulus,
                                           exponent) ||
        !buildRsaPublicKeyBlob(modulus, exponent, keyBlob)) {
        errorText = "Failed to parse RSA public key XML";
        return false;
    }

    std::vector<std::uint8_t> signature = SignatureVerifier::decodeBase64(signatureBase64);
    if (signature.empty()) {
        errorText = "Failed to decode signature from Base64";
        return false;
    }

    // Declared in this order so the key goes first, then the hash, then the provider, on every path.
    CryptProv provider;
    CryptHash hash;
    CryptKey key;

    HCRYPTPROV rawProvider = 0;
    if (!api.acquireContext(&rawProvider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        errorText = "Failed to acquire crypto context";
        return false;
    }
    provider.reset(rawProvider);

    HCRYPTHASH rawHash = 0;
    if (!api.createHash(provider.get(), CALG_SHA_256, 0, 0, &rawHash)) {
        errorText = "Failed to create hash";
        return false;
    }
    hash.reset(rawHash);

    // Hashed in pieces the API's 32-bit length can express; empty data is still one (empty) call.
    const auto* bytes = reinterpret_cast<const BYTE*>(data.data());
    std::size_t offset = 0;
    do {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(data.size() - offset, 0x40000000));
        if (!api.hashData(hash.get(), bytes + offset, piece, 0)) {
            errorText = "Failed to hash data";
            return false;
        }
        offset += piece;
    } while (offset < data.size());

    HCRYPTKEY rawKey = 0;
    if (!api.importKey(provider.get(), keyBlob.data(), static_cast<DWORD>(keyBlob.size()), 0, 0, &rawKey)) {
        errorText = "Failed to import RSA public key";
        return false;
    }
    key.reset(rawKey);

    // Both sizes fit: they come from texts no longer than a DWORD can count.
    // CryptoAPI reads the signature as a little-endian number; PKCS #1 signers write big-endian.
    const DWORD signatureSize = static_cast<DWORD>(signature.size());
    if (api.verifySignature(hash.get(), signature.data(), signatureSize, key.get(), nullptr, 0)) {
        return true;
    }
    std::reverse(signature.begin(), signature.end());
    if (api.verifySignature(hash.get(), signature.data(), signatureSize, key.get(), nullptr, 0)) {
        return true;
    }
    const DWORD lastError = ::GetLastError();
    errorText = "Signature verification failed - tried both byte orders (CryptoAPI error: " +
                std::to_string(lastError) + ")";
    return false;
}

} // namespace vesk::updater
