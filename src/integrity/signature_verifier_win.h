#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace vesk::updater {

// The CryptoAPI calls the verifier makes, replaceable so that tests can make a single step fail;
// the program always uses the defaults.
struct SignatureCryptoApi {
    decltype(&::CryptAcquireContextW) acquireContext = ::CryptAcquireContextW;
    decltype(&::CryptCreateHash) createHash = ::CryptCreateHash;
    decltype(&::CryptHashData) hashData = ::CryptHashData;
    decltype(&::CryptImportKey) importKey = ::CryptImportKey;
    decltype(&::CryptVerifySignatureW) verifySignature = ::CryptVerifySignatureW;
};

// SignatureVerifier::verifySignature through the given calls.
bool verifySignatureWith(const SignatureCryptoApi& api, const std::string& data,
                         const std::string& signatureBase64, const std::string& publicKeyBase64,
                         std::string& errorText);

} // namespace vesk::updater
