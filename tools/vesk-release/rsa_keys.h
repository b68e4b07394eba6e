#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vesk::release {

constexpr int kMinimumRsaBits = 2048;
constexpr int kMaximumRsaBits = 16384;

// An RSA key pair as PEM texts: PKCS #8 private key and SubjectPublicKeyInfo public key.
struct RsaKeyPairPem {
    std::string privatePem;
    std::string publicPem;
};

// A fresh key pair with public exponent 65537; false with error when bits is out of range or OpenSSL fails.
bool generateRsaKeyPair(int bits, RsaKeyPairPem& out, std::string& error);

// The XML key value the updater imports:
// <RSAKeyValue><Modulus>..</Modulus><Exponent>..</Exponent></RSAKeyValue>, both numbers as Base64 of their
// big-endian bytes without leading zero bytes.
std::string rsaKeyValueXml(std::string_view modulus, std::string_view exponent);

// An RSA private key loaded from PEM.
class RsaPrivateKey {
public:
    // Loads an unencrypted PEM private key; false with error (naming source) when it is not an RSA key.
    bool load(std::string_view pem, const std::string& source, std::string& error);

    int bits() const;
    // Base64 of rsaKeyValueXml() of the public half: the "public_key" text of a signed manifest.
    std::string publicKeyForUpdater() const;
    // Base64 of the PKCS #1 v1.5 RSA-SHA256 signature of data, in the usual big-endian byte order.
    bool signBase64(std::string_view data, std::string& signatureBase64, std::string& error) const;

private:
    struct Free {
        void operator()(void* key) const;
    };
    std::unique_ptr<void, Free> key_;
};

// PKCS #1 v1.5 RSA-SHA256 verification of a big-endian signature with a public key given by its modulus
// and exponent bytes (big-endian).
bool verifyRsaSha256(std::string_view data, std::string_view signature, std::string_view modulus,
                     std::string_view exponent);

} // namespace vesk::release
