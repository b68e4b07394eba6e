#include "integrity/rsa_public_key.h"
#include "integrity/signature_verifier.h"
#include "integrity/signature_verifier_win.h"
#include "signature_fixtures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using vesk::updater::SignatureCryptoApi;
using vesk::updater::SignatureVerifier;
using namespace signature_fixtures;

namespace {

const std::string kBadSignature =
    "Signature verification failed - tried both byte orders (CryptoAPI error: 2148073478)";

std::string base64(const std::string& raw) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < raw.size(); i += 3) {
        const unsigned v = (uint8_t(raw[i]) << 16) | (uint8_t(raw[i + 1]) << 8) | uint8_t(raw[i + 2]);
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], alphabet[v & 63]};
    }
    if (i + 1 == raw.size()) {
        const unsigned v = uint8_t(raw[i]) << 16;
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == raw.size()) {
        const unsigned v = (uint8_t(raw[i]) << 16) | (uint8_t(raw[i + 1]) << 8);
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], '='};
    }
    return out;
}

std::string keyFromXml(const std::string& xml) {
    return base64(xml);
}

std::string standardXml(const std::string& modulus = kModulusBase64,
                        const std::string& exponent = kExponentBase64) {
    return "<RSAKeyValue><Modulus>" + modulus + "</Modulus><Exponent>" + exponent +
           "</Exponent></RSAKeyValue>";
}

// Runs a verification and returns "" on success, the reason text otherwise.
std::string verify(const std::string& data, const std::string& signature, const std::string& key) {
    std::string error = "untouched";
    const bool ok = SignatureVerifier::verifySignature(data, signature, key, error);
    if (ok) {
        EXPECT_EQ(error, "untouched") << "success must leave the reason text alone";
        return "";
    }
    EXPECT_NE(error, "untouched");
    return error;
}

} // namespace

TEST(RsaVerifier, FixtureKeyTextIsTheStandardXml) {
    EXPECT_EQ(kPublicKey, keyFromXml(standardXml()));
}

TEST(RsaVerifier, OpensslSignatureVerifiesInBothByteOrders) {
    EXPECT_EQ(verify(kData, kDataSignature, kPublicKey), "");
    EXPECT_EQ(verify(kData, kDataSignatureReversed, kPublicKey), "");
    EXPECT_EQ(verify(kManifestCompact, kManifestSignature, kPublicKey), "");
    // Exponent 3 instead of 65537: the exponent really is read from the key.
    EXPECT_EQ(verify(kData, kSmallExponentSignature, kSmallExponentKey), "");
}

TEST(RsaVerifier, AnyChangeToDataOrKeyFailsWithTheBadSignatureCode) {
    // Every position matters, including those after the embedded NUL.
    for (const size_t position : {size_t{0}, kData.find('\0') + 1, kData.size() - 1}) {
        std::string changed = kData;
        changed[position] = static_cast<char>(changed[position] ^ 0x01);
        EXPECT_EQ(verify(changed, kDataSignature, kPublicKey), kBadSignature) << position;
    }
    EXPECT_EQ(verify(kData.substr(0, kData.size() - 1), kDataSignature, kPublicKey), kBadSignature);
    EXPECT_EQ(verify(kData + "x", kDataSignatureReversed, kPublicKey), kBadSignature);
    EXPECT_EQ(verify(kData, kDataSignature, kSmallExponentKey), kBadSignature);
    EXPECT_EQ(verify(kData, kManifestSignature, kPublicKey), kBadSignature);
}

TEST(RsaVerifier, KeyXmlIsFoundAnywhereInAnyOrder) {
    const std::string reordered = "<KeyInfo><Other>xyz</Other><RSAKeyValue><Exponent>" + kExponentBase64 +
                                  "</Exponent>\n<P>AAAA</P><Modulus>" + kModulusBase64 +
                                  "</Modulus></RSAKeyValue>";
    EXPECT_EQ(verify(kData, kDataSignature, keyFromXml(reordered)), "");
    EXPECT_EQ(verify(kData, kDataSignature,
                     keyFromXml("<Modulus>" + kModulusBase64 + "</Modulus><Exponent>" + kExponentBase64 +
                                "</Exponent>")),
              "");
}

TEST(RsaVerifier, ReasonTextsComeInStepOrder) {
    const std::string parse = "Failed to parse RSA public key XML";
    // The key is examined before the signature: a bad key wins over a missing signature.
    EXPECT_EQ(verify(kData, "", "not base64 at all!"), "Failed to decode public key from Base64");
    EXPECT_EQ(verify(kData, "", ""), "Failed to decode public key from Base64");
    EXPECT_EQ(verify(kData, "", keyFromXml("<Modulus>" + kModulusBase64 + "</Modulus><Exponent>AQAB")),
              parse);
    EXPECT_EQ(verify(kData, kDataSignature, keyFromXml("<Exponent>AQAB</Exponent>")), parse);
    EXPECT_EQ(verify(kData, kDataSignature, keyFromXml(standardXml("", kExponentBase64))), parse);
    EXPECT_EQ(verify(kData, kDataSignature, keyFromXml(standardXml(kModulusBase64, ""))), parse);
    EXPECT_EQ(verify(kData, kDataSignature, keyFromXml(standardXml(kModulusBase64, "A!A="))), parse);
    EXPECT_EQ(verify(kData, kDataSignature, keyFromXml(standardXml("%%%%", kExponentBase64))), parse);
    // A closing tag in front of its opening tag encloses nothing.
    EXPECT_EQ(verify(kData, kDataSignature,
                     keyFromXml("</Modulus><Modulus>" + kModulusBase64 + "<Exponent>AQAB</Exponent>")),
              parse);
    EXPECT_EQ(verify(kData, "", kPublicKey), "Failed to decode signature from Base64");
    EXPECT_EQ(verify(kData, "*not*base64*", kPublicKey), "Failed to decode signature from Base64");
}

TEST(RsaVerifier, ExponentMustFitThirtyTwoBits) {
    // 01 00 00 00 01 does not fit the key header; it must not be cut to 00 00 00 01 silently.
    EXPECT_EQ(verify(kData, kDataSignature, keyFromXml(standardXml(kModulusBase64, "AQAAAAE="))),
              "Failed to parse RSA public key XML");
    // Leading zero bytes do not change the value 65537.
    EXPECT_EQ(verify(kData, kDataSignature, keyFromXml(standardXml(kModulusBase64, "AAAAAQAB"))), "");
}

TEST(RsaVerifier, Base64DecodingAndKeyParsing) {
    EXPECT_EQ(SignatureVerifier::decodeBase64("QUJD"), (std::vector<std::uint8_t>{'A', 'B', 'C'}));
    EXPECT_EQ(SignatureVerifier::decodeBase64("QUI="), (std::vector<std::uint8_t>{'A', 'B'}));
    EXPECT_TRUE(SignatureVerifier::decodeBase64("").empty());
    EXPECT_TRUE(SignatureVerifier::decodeBase64("QU!D").empty());
    // The whole text is decoded: an embedded NUL is invalid, not the end.
    EXPECT_TRUE(SignatureVerifier::decodeBase64(std::string("QUJD\0!!!!", 9)).empty());

    std::vector<std::uint8_t> modulus;
    std::vector<std::uint8_t> exponent;
    ASSERT_TRUE(SignatureVerifier::parseRsaKeyXml(standardXml("AAEC", "AQAB"), modulus, exponent));
    EXPECT_EQ(modulus, (std::vector<std::uint8_t>{0, 1, 2}));
    EXPECT_EQ(exponent, (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_FALSE(SignatureVerifier::parseRsaKeyXml("<Modulus>AAEC</Modulus>", modulus, exponent));
}

TEST(RsaPublicKeyBlob, LayoutIsTheCryptoApiPublicKeyBlob) {
    std::vector<std::uint8_t> blob;
    ASSERT_TRUE(vesk::updater::buildRsaPublicKeyBlob({0x00, 0xC1, 0xC2}, {0x01, 0x00, 0x01}, blob));
    const std::vector<std::uint8_t> expected = {
        0x06, 0x02, 0x00, 0x00, // PUBLICKEYBLOB, version 2, reserved
        0x00, 0x24, 0x00, 0x00, // CALG_RSA_SIGN
        0x52, 0x53, 0x41, 0x31, // "RSA1"
        0x18, 0x00, 0x00, 0x00, // 24 bits: the leading zero byte counts
        0x01, 0x00, 0x01, 0x00, // 65537
        0xC2, 0xC1, 0x00,       // modulus, least significant byte first
    };
    EXPECT_EQ(blob, expected);

    ASSERT_TRUE(vesk::updater::buildRsaPublicKeyBlob({0x01}, {0xFF, 0xFE, 0xFD, 0xFC}, blob));
    EXPECT_EQ((std::vector<std::uint8_t>(blob.begin() + 16, blob.begin() + 20)),
              (std::vector<std::uint8_t>{0xFC, 0xFD, 0xFE, 0xFF}));

    std::vector<std::uint8_t> untouched = {42};
    EXPECT_FALSE(vesk::updater::buildRsaPublicKeyBlob({}, {0x03}, untouched));
    EXPECT_FALSE(vesk::updater::buildRsaPublicKeyBlob({0x01}, {0x01, 0x00, 0x00, 0x00, 0x00}, untouched));
    EXPECT_EQ(untouched, std::vector<std::uint8_t>{42});
}

// Steps that only a broken system fails, reached through replaced CryptoAPI calls.
namespace {

int verifyCalls = 0;
std::vector<std::uint8_t> firstBytesSeen;

BOOL WINAPI failAcquire(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD) {
    ::SetLastError(NTE_KEYSET_NOT_DEF);
    return FALSE;
}
BOOL WINAPI failCreateHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*) {
    return FALSE;
}
BOOL WINAPI failHashData(HCRYPTHASH, const BYTE*, DWORD, DWORD) {
    return FALSE;
}
BOOL WINAPI failImport(HCRYPTPROV, const BYTE*, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY*) {
    return FALSE;
}
BOOL WINAPI recordVerify(HCRYPTHASH hash, const BYTE* signature, DWORD size, HCRYPTKEY key,
                         LPCWSTR description, DWORD flags) {
    ++verifyCalls;
    firstBytesSeen.push_back(signature[0]);
    return ::CryptVerifySignatureW(hash, signature, size, key, description, flags);
}

std::string verifyWith(const SignatureCryptoApi& api, const std::string& signature = kDataSignature) {
    std::string error;
    if (vesk::updater::verifySignatureWith(api, kData, signature, kPublicKey, error)) {
        return "";
    }
    return error;
}

} // namespace

TEST(RsaVerifier, PlatformFailuresHaveTheirOwnReasons) {
    SignatureCryptoApi api;
    api.acquireContext = failAcquire;
    EXPECT_EQ(verifyWith(api), "Failed to acquire crypto context");
    api = {};
    api.createHash = failCreateHash;
    EXPECT_EQ(verifyWith(api), "Failed to create hash");
    api = {};
    api.hashData = failHashData;
    EXPECT_EQ(verifyWith(api), "Failed to hash data");
    api = {};
    api.importKey = failImport;
    EXPECT_EQ(verifyWith(api), "Failed to import RSA public key");
    api = {};
    EXPECT_EQ(verifyWith(api), "");
}

TEST(RsaVerifier, LittleEndianIsTriedFirstThenReversed) {
    const std::vector<std::uint8_t> bigEndian = SignatureVerifier::decodeBase64(kDataSignature);
    ASSERT_FALSE(bigEndian.empty());
    SignatureCryptoApi api;
    api.verifySignature = recordVerify;

    verifyCalls = 0;
    firstBytesSeen.clear();
    EXPECT_EQ(verifyWith(api, kDataSignature), "");
    EXPECT_EQ(verifyCalls, 2);
    EXPECT_EQ(firstBytesSeen, (std::vector<std::uint8_t>{bigEndian.front(), bigEndian.back()}));

    verifyCalls = 0;
    firstBytesSeen.clear();
    EXPECT_EQ(verifyWith(api, kDataSignatureReversed), "");
    EXPECT_EQ(verifyCalls, 1);
    EXPECT_EQ(firstBytesSeen, std::vector<std::uint8_t>{bigEndian.back()});
}
