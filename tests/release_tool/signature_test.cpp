// The signature report must say what the updater logs: exact lines, both byte orders, and a failure
// whenever the signed text changes.

#include "encoding.h"
#include "manifest_check.h"
#include "rsa_keys.h"
#include "signature_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using namespace vesk::release;
using Json = nlohmann::ordered_json;

namespace {

// One key for the whole suite: generating RSA keys is slow.
const RsaPrivateKey& suiteKey() {
    static const RsaPrivateKey key = [] {
        RsaKeyPairPem pem;
        std::string error;
        EXPECT_TRUE(generateRsaKeyPair(2048, pem, error)) << error;
        RsaPrivateKey loaded;
        EXPECT_TRUE(loaded.load(pem.privatePem, "test key", error)) << error;
        return loaded;
    }();
    return key;
}

const char* const kManifestObject =
    R"({"version":"2.1","build_number":345,"files":[{"name":"Updater.exe","size":3,"sha256":"aa"}]})";

std::string signedDocument(const std::string& manifestObjectText,
                           const std::string& algorithm = "RSA-SHA256") {
    const Json manifest = Json::parse(manifestObjectText);
    std::string signature, error;
    EXPECT_TRUE(suiteKey().signBase64(manifest.dump(), signature, error)) << error;
    Json doc = Json::object();
    doc["manifest"] = manifest;
    doc["signature"] = {{"algorithm", algorithm},
                        {"signature", signature},
                        {"public_key", suiteKey().publicKeyForUpdater()},
                        {"timestamp", "2026-01-05T07:08:09Z"},
                        {"signer", "tests"}};
    return doc.dump(2);
}

std::vector<std::string> texts(const SignatureReport& report) {
    std::vector<std::string> out;
    for (const SignatureLine& line : report.lines) {
        out.push_back(line.level + " " + line.text);
    }
    return out;
}

bool hasLine(const SignatureReport& report, const std::string& levelAndText) {
    const auto all = texts(report);
    return std::find(all.begin(), all.end(), levelAndText) != all.end();
}

} // namespace

TEST(Signature, SignedManifestPassesWithTheUpdatersLines) {
    const SignatureReport report = reportSignature(signedDocument(kManifestObject));
    EXPECT_EQ(report.verdict, SignatureVerdict::Passed);
    const std::string compact = Json::parse(kManifestObject).dump();
    const std::vector<std::string> expected = {
        "INFO === Manifest Signature Verification (Log-Only) ===",
        "INFO Signature found in manifest:",
        "INFO   Algorithm: RSA-SHA256",
        "INFO   Timestamp: 2026-01-05T07:08:09Z",
        "INFO   Signer: tests",
        "INFO Manifest appears to be signed:",
        "INFO   Public key length: " + std::to_string(suiteKey().publicKeyForUpdater().size()) + " chars",
        "INFO   Signature length: 344 chars",
        "INFO RSA signature detected - performing cryptographic verification...",
        "DEBUG Verifying with compact JSON: " + std::to_string(compact.size()) + " bytes",
        "DEBUG First 200: " + compact,
        "INFO [OK] RSA Signature Verification: PASSED",
        "INFO      Manifest authenticity confirmed",
        "INFO      Manifest integrity confirmed",
        "INFO === End Signature Verification ===",
        "INFO NOTE: Update continues regardless of signature status (log-only mode)",
        "INFO ",
    };
    EXPECT_EQ(texts(report), expected);
}

TEST(Signature, ReorderedMembersOrAChangedValueFail) {
    const std::string reordered = signedDocument(kManifestObject);
    std::string swapped = reordered;
    // Same members, other order: a different signed text.
    const std::string versionLine = "\"version\": \"2.1\",\n";
    const size_t at = swapped.find(versionLine);
    ASSERT_NE(at, std::string::npos);
    swapped.erase(at, versionLine.size());
    swapped.replace(swapped.find("\"files\":"), 0, versionLine);
    const SignatureReport report = reportSignature(swapped);
    EXPECT_EQ(report.verdict, SignatureVerdict::Failed);
    EXPECT_TRUE(hasLine(report, "WARNING [FAILED] RSA Signature Verification: FAILED"));
    EXPECT_TRUE(hasLine(report, "WARNING      Error: Signature verification failed - tried both byte orders "
                                "(CryptoAPI error: 2148073478)"));

    std::string changed = reordered;
    changed.replace(changed.find("\"size\": 3"), 9, "\"size\": 4");
    EXPECT_EQ(reportSignature(changed).verdict, SignatureVerdict::Failed);
}

TEST(Signature, EitherByteOrderOfTheSignatureVerifies) {
    const std::string data = "payload";
    std::string signatureBase64, error;
    ASSERT_TRUE(suiteKey().signBase64(data, signatureBase64, error));
    std::string raw;
    ASSERT_TRUE(decodeBase64(signatureBase64, raw));
    const std::string reversed = encodeBase64(std::string(raw.rbegin(), raw.rend()));
    EXPECT_TRUE(verifyLikeUpdater(data, signatureBase64, suiteKey().publicKeyForUpdater(), error));
    EXPECT_TRUE(verifyLikeUpdater(data, reversed, suiteKey().publicKeyForUpdater(), error));
    EXPECT_FALSE(verifyLikeUpdater(data + "!", signatureBase64, suiteKey().publicKeyForUpdater(), error));
}

TEST(Signature, KeyAndSignatureFaultsGiveTheUpdatersReasons) {
    std::string error;
    EXPECT_FALSE(verifyLikeUpdater("x", "AAAA", "not base64!", error));
    EXPECT_EQ(error, "Failed to decode public key from Base64");
    EXPECT_FALSE(verifyLikeUpdater(
        "x", "AAAA", encodeBase64("<RSAKeyValue><Modulus>AQAB</Modulus><Exponent>AQAB"), error));
    EXPECT_EQ(error, "Failed to parse RSA public key XML");
    EXPECT_FALSE(verifyLikeUpdater("x", "", suiteKey().publicKeyForUpdater(), error));
    EXPECT_EQ(error, "Failed to decode signature from Base64");
    // Tags in another order, with other elements around them, still parse.
    std::string xml;
    ASSERT_TRUE(decodeBase64(suiteKey().publicKeyForUpdater(), xml));
    const size_t exponentAt = xml.find("<Exponent>");
    const std::string exponent = xml.substr(exponentAt, xml.find("</RSAKeyValue>") - exponentAt);
    const std::string modulus = xml.substr(xml.find("<Modulus>"), exponentAt - xml.find("<Modulus>"));
    const std::string shuffled = "<Key><P>x</P>" + exponent + modulus + "</Key>";
    std::string signatureBase64;
    ASSERT_TRUE(suiteKey().signBase64("x", signatureBase64, error));
    EXPECT_TRUE(verifyLikeUpdater("x", signatureBase64, encodeBase64(shuffled), error)) << error;
}

TEST(Signature, UnsignedAndOddBlocks) {
    const SignatureReport none = reportSignature(std::string("{\"manifest\":") + kManifestObject + "}");
    EXPECT_EQ(none.verdict, SignatureVerdict::NotSigned);
    EXPECT_TRUE(hasLine(none, "WARNING No signature object found in manifest"));
    EXPECT_TRUE(hasLine(none, "WARNING Verification result: NOT SIGNED"));

    const SignatureReport placeholder = reportSignature(
        std::string("{\"manifest\":") + kManifestObject +
        R"(,"signature":{"algorithm":"RSA-SHA256","signature":"AAAA","public_key":"placeholder"}})");
    EXPECT_EQ(placeholder.verdict, SignatureVerdict::Placeholder);
    EXPECT_TRUE(hasLine(placeholder, "WARNING Manifest signature is PLACEHOLDER - not actually signed"));
    EXPECT_TRUE(hasLine(placeholder, "INFO   Timestamp: (not specified)"));

    std::string lower = signedDocument(kManifestObject, "rsa-sha256");
    const SignatureReport unsupported = reportSignature(lower);
    EXPECT_EQ(unsupported.verdict, SignatureVerdict::Unsupported);
    EXPECT_TRUE(hasLine(unsupported, "WARNING Unknown algorithm: rsa-sha256"));

    const SignatureReport incomplete = reportSignature(std::string("{\"manifest\":") + kManifestObject +
                                                       R"(,"signature":{"signature":"AAAA"}})");
    EXPECT_EQ(incomplete.verdict, SignatureVerdict::Incomplete);
    EXPECT_TRUE(hasLine(incomplete, "INFO   Algorithm: (not specified)"));

    const SignatureReport notObject = reportSignature(R"({"signature": "abc"})");
    EXPECT_EQ(notObject.verdict, SignatureVerdict::ParseError);
    EXPECT_EQ(notObject.lines[1].text.rfind("Failed to parse signature: [json.exception.type_error", 0), 0u);

    const SignatureReport noManifest =
        reportSignature(R"({"signature":{"algorithm":"RSA","signature":"AAAA","public_key":"AAAA"}})");
    EXPECT_TRUE(hasLine(noManifest, "WARNING Verification result: FAILED (no manifest object found)"));
}

TEST(Signature, CheckTreatsOnlyBrokenSignaturesAsProblems) {
    const std::string manifest = std::string(R"({"manifest":{"version":"2.1","build_number":1,"files":[]}})");
    EXPECT_TRUE(checkManifest(manifest).ok());
    ManifestCheckOptions strict;
    strict.requireSignature = true;
    EXPECT_FALSE(checkManifest(manifest, strict).ok());

    std::string tampered = signedDocument(kManifestObject);
    tampered.replace(tampered.find("2.1"), 3, "2.2");
    const ManifestCheckResult result = checkManifest(tampered);
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.has(Finding::Signature));
}
