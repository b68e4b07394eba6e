#include "core/logger.h"
#include "integrity/manifest_signature.h"
#include "signature_fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

using vesk::updater::Logger;
using vesk::updater::logManifestSignatureStatus;
using vesk::updater::SignatureReportStyle;
using Lines = std::vector<std::string>;
using namespace signature_fixtures;

namespace {

constexpr SignatureReportStyle kDetailed = SignatureReportStyle::Detailed;
constexpr SignatureReportStyle kBrief = SignatureReportStyle::Brief;

// The report's lines as "[LEVEL] [] message", without their time stamps.
Lines report(const std::string& manifestText, SignatureReportStyle style) {
    vesk::test::TempDir dir;
    const std::string path = dir.file("ui_logs.log");
    {
        Logger log(path);
        logManifestSignatureStatus(manifestText, style, log);
    }
    const std::string bytes = vesk::test::readFileBytes(path);
    Lines lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        const std::string line = bytes.substr(start, end - start);
        lines.push_back(line.size() > 22 ? line.substr(22) : line);
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return lines;
}

const std::string kOpen = "[INFO] [] === Manifest Signature Verification (Log-Only) ===";
const Lines kDetailedClose = {
    "[INFO] [] === End Signature Verification ===",
    "[INFO] [] NOTE: Update continues regardless of signature status (log-only mode)", "[INFO] [] "};
const Lines kBriefClose = {"[INFO] [] === End Signature Verification ===", "[INFO] [] "};

Lines detailed(Lines body) {
    body.insert(body.begin(), kOpen);
    body.insert(body.end(), kDetailedClose.begin(), kDetailedClose.end());
    return body;
}

Lines brief(Lines body) {
    body.insert(body.begin(), kOpen);
    body.insert(body.end(), kBriefClose.begin(), kBriefClose.end());
    return body;
}

// The signed manifest object as a server would publish it: indented, with "\u00e9" and "\/" escapes
// that the compact re-serialisation writes as UTF-8 "é" and a plain "/".
const std::string kManifestObject = R"({
    "version": "2.4.0",
    "build_number": 118,
    "notes": "caf\u00e9 \/ \"quoted\"",
    "files": [
      {"name": "Updater.exe", "size": 1024,
       "sha256": "abababababababababababababababababababababababababababababababab"},
      {"name": "VESK_Updater.exe", "size": 2048, "url": "\/updates\/2.4.0.118\/VESK_Updater.exe"}
    ]
  })";

std::string signatureBlock(
    const std::string& algorithm, const std::string& signature, const std::string& key,
    const std::string& extra = R"(, "timestamp": "2026-01-02T03:04:05Z", "signer": "Release Bot")") {
    std::string block = "{";
    if (!algorithm.empty()) {
        block += "\"algorithm\": \"" + algorithm + "\", ";
    }
    block += "\"signature\": \"" + signature + "\", \"public_key\": \"" + key + "\"" + extra + "}";
    return block;
}

std::string manifestWith(const std::string& block, const std::string& object = kManifestObject) {
    return "{\n  \"manifest\": " + object + ",\n  \"signature\": " + block + "\n}\n";
}

std::string signedManifest(const std::string& algorithm = "RSA-SHA256") {
    return manifestWith(signatureBlock(algorithm, kManifestSignature, kPublicKey));
}

const Lines kDetailedFound = {"[INFO] [] Signature found in manifest:", "[INFO] []   Algorithm: RSA-SHA256",
                              "[INFO] []   Timestamp: 2026-01-02T03:04:05Z",
                              "[INFO] []   Signer: Release Bot"};

Lines detailedSigned(const std::string& algorithm) {
    return {"[INFO] [] Signature found in manifest:",
            "[INFO] []   Algorithm: " + algorithm,
            "[INFO] []   Timestamp: 2026-01-02T03:04:05Z",
            "[INFO] []   Signer: Release Bot",
            "[INFO] [] Manifest appears to be signed:",
            "[INFO] []   Public key length: " + std::to_string(kPublicKey.size()) + " chars",
            "[INFO] []   Signature length: " + std::to_string(kManifestSignature.size()) + " chars"};
}

Lines concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(ManifestSignature, NoSignatureObject) {
    for (const std::string text : {R"({"manifest": {"version": "1"}})", "[1, 2]", R"("signature")"}) {
        EXPECT_EQ(report(text, kDetailed), detailed({"[WARNING] [] No signature object found in manifest",
                                                     "[WARNING] [] Verification result: NOT SIGNED"}))
            << text;
        EXPECT_EQ(report(text, kBrief), brief({"[WARNING] [] Verification result: NO SIGNATURE"})) << text;
    }
}

TEST(ManifestSignature, ValidSignaturePasses) {
    const std::string compactLines[] = {
        "[DEBUG] [] Verifying with compact JSON: " + std::to_string(kManifestCompact.size()) + " bytes",
        "[DEBUG] [] First 200: " + kManifestCompact.substr(0, 200)};
    ASSERT_GT(kManifestCompact.size(), 200u); // so the cut is seen
    for (const std::string algorithm : {"RSA-SHA256", "RSA"}) {
        EXPECT_EQ(report(signedManifest(algorithm), kDetailed),
                  detailed(concat(
                      detailedSigned(algorithm),
                      {"[INFO] [] RSA signature detected - performing cryptographic verification...",
                       compactLines[0], compactLines[1], "[INFO] [] [OK] RSA Signature Verification: PASSED",
                       "[INFO] []      Manifest authenticity confirmed",
                       "[INFO] []      Manifest integrity confirmed"})))
            << algorithm;
    }
    EXPECT_EQ(report(signedManifest(), kBrief),
              brief({"[INFO] [] Signature found: Algorithm=RSA-SHA256, Signer=Release Bot",
                     "[INFO] [] RSA signature detected - performing cryptographic verification...",
                     compactLines[0], "[INFO] [] [OK] RSA Signature Verification: PASSED",
                     "[INFO] []      Manifest authenticity confirmed"}));
    // The root's own member order does not matter, only the manifest object's.
    const std::string signatureFirst =
        "{\"signature\": " + signatureBlock("RSA", kManifestSignature, kPublicKey) +
        ", \"manifest\": " + kManifestObject + "}";
    EXPECT_EQ(report(signatureFirst, kBrief).at(4), "[INFO] [] [OK] RSA Signature Verification: PASSED");
}

TEST(ManifestSignature, ReorderedManifestMembersFail) {
    std::string reordered = kManifestObject;
    const std::string version = "\"version\": \"2.4.0\",";
    const std::string build = "\"build_number\": 118,";
    reordered.replace(reordered.find(version), version.size(), build);
    reordered.replace(reordered.find(build, reordered.find(build) + 1), build.size(), version);
    ASSERT_NE(reordered, kManifestObject);
    const std::string text =
        manifestWith(signatureBlock("RSA-SHA256", kManifestSignature, kPublicKey), reordered);
    const std::string error = "[WARNING] []      Error: Signature verification failed - tried both byte "
                              "orders (CryptoAPI error: 2148073478)";

    const Lines detailedLines = report(text, kDetailed);
    ASSERT_EQ(detailedLines.size(), 1u + 7u + 3u + 4u + 3u);
    EXPECT_EQ(Lines(detailedLines.begin() + 11, detailedLines.begin() + 15),
              (Lines{"[WARNING] [] [FAILED] RSA Signature Verification: FAILED", error,
                     "[WARNING] []      NOTE: This is informational only",
                     "[WARNING] []      Manifest authenticity cannot be guaranteed"}));
    EXPECT_EQ(report(text, kBrief),
              brief({"[INFO] [] Signature found: Algorithm=RSA-SHA256, Signer=Release Bot",
                     "[INFO] [] RSA signature detected - performing cryptographic verification...",
                     "[DEBUG] [] Verifying with compact JSON: " + std::to_string(kManifestCompact.size()) +
                         " bytes",
                     "[WARNING] [] [FAILED] RSA Signature Verification: FAILED", error,
                     "[WARNING] []      NOTE: This is informational only"}));
}

TEST(ManifestSignature, PlaceholderWinsOverEverythingElse) {
    // A working signature, but the key text carries the marker.
    const std::string keyMarked =
        manifestWith(signatureBlock("RSA-SHA256", kManifestSignature, kPublicKey + "placeholder"));
    const std::string signatureMarked =
        manifestWith(signatureBlock("Ed25519", "placeholder-signature", kPublicKey), "{}");
    for (const std::string& text : {keyMarked, signatureMarked}) {
        const Lines lines = report(text, kDetailed);
        ASSERT_EQ(lines.size(), 1u + 4u + 2u + 3u);
        EXPECT_EQ(Lines(lines.begin() + 5, lines.begin() + 7),
                  (Lines{"[WARNING] [] Manifest signature is PLACEHOLDER - not actually signed",
                         "[WARNING] [] Verification result: NOT SIGNED"}));
    }
    EXPECT_EQ(report(keyMarked, kBrief),
              brief({"[INFO] [] Signature found: Algorithm=RSA-SHA256, Signer=Release Bot",
                     "[WARNING] [] Verification result: NOT SIGNED (placeholder detected)"}));
    // Upper case is not the marker.
    EXPECT_EQ(
        report(manifestWith(signatureBlock("RSA", kManifestSignature, kPublicKey + "PLACEHOLDER")), kBrief)
            .at(2),
        "[INFO] [] RSA signature detected - performing cryptographic verification...");
}

TEST(ManifestSignature, MissingAlgorithm) {
    const std::string text = manifestWith(signatureBlock("", kManifestSignature, kPublicKey));
    EXPECT_EQ(report(text, kDetailed),
              detailed({"[INFO] [] Signature found in manifest:", "[INFO] []   Algorithm: (not specified)",
                        "[INFO] []   Timestamp: 2026-01-02T03:04:05Z", "[INFO] []   Signer: Release Bot",
                        "[WARNING] [] Incomplete signature information",
                        "[WARNING] [] Verification result: INCOMPLETE"}));
    EXPECT_EQ(report(text, kBrief), brief({"[INFO] [] Signature found: Algorithm=, Signer=Release Bot",
                                           "[WARNING] [] Verification result: UNSUPPORTED ALGORITHM"}));
}

TEST(ManifestSignature, EmptyValuesAreIncompleteOnlyInTheDetailedWording) {
    const std::string text = manifestWith(signatureBlock("RSA", "", kPublicKey, ""));
    EXPECT_EQ(report(text, kDetailed),
              detailed({"[INFO] [] Signature found in manifest:", "[INFO] []   Algorithm: RSA",
                        "[INFO] []   Timestamp: (not specified)", "[INFO] []   Signer: (not specified)",
                        "[WARNING] [] Incomplete signature information",
                        "[WARNING] [] Verification result: INCOMPLETE"}));
    // The brief wording goes on to the verifier, which names what is missing.
    const Lines lines = report(text, kBrief);
    ASSERT_EQ(lines.size(), 1u + 6u + 2u);
    EXPECT_EQ(lines[1], "[INFO] [] Signature found: Algorithm=RSA, Signer=");
    EXPECT_EQ(lines[5], "[WARNING] []      Error: Failed to decode signature from Base64");
}

TEST(ManifestSignature, AlgorithmNamesAreCaseSensitive) {
    const std::string text = manifestWith(signatureBlock("rsa-sha256", kManifestSignature, kPublicKey));
    EXPECT_EQ(report(text, kDetailed),
              detailed(concat(detailedSigned("rsa-sha256"),
                              {"[WARNING] [] Unknown algorithm: rsa-sha256",
                               "[WARNING] [] Verification result: UNSUPPORTED ALGORITHM"})));
    EXPECT_EQ(report(text, kBrief),
              brief({"[INFO] [] Signature found: Algorithm=rsa-sha256, Signer=Release Bot",
                     "[WARNING] [] Verification result: UNSUPPORTED ALGORITHM"}));
}

TEST(ManifestSignature, Ed25519IsRecognisedOnlyInTheDetailedWording) {
    const std::string text = manifestWith(signatureBlock("Ed25519", kManifestSignature, kPublicKey));
    EXPECT_EQ(
        report(text, kDetailed),
        detailed(concat(detailedSigned("Ed25519"), {"[INFO] [] Ed25519 signature detected",
                                                    "[WARNING] [] Ed25519 verification: NOT YET IMPLEMENTED",
                                                    "[WARNING] [] Verification result: SKIPPED"})));
    EXPECT_EQ(report(text, kBrief), brief({"[INFO] [] Signature found: Algorithm=Ed25519, Signer=Release Bot",
                                           "[WARNING] [] Verification result: UNSUPPORTED ALGORITHM"}));
}

TEST(ManifestSignature, NoManifestObject) {
    const std::string text =
        "{\"signature\": " + signatureBlock("RSA-SHA256", kManifestSignature, kPublicKey) +
        ", \"files\": []}";
    EXPECT_EQ(report(text, kDetailed),
              detailed(concat(detailedSigned("RSA-SHA256"),
                              {"[INFO] [] RSA signature detected - performing cryptographic verification...",
                               "[WARNING] [] Verification result: FAILED (no manifest object found)"})));
    EXPECT_EQ(report(text, kBrief),
              brief({"[INFO] [] Signature found: Algorithm=RSA-SHA256, Signer=Release Bot",
                     "[INFO] [] RSA signature detected - performing cryptographic verification...",
                     "[WARNING] [] Verification result: FAILED (no manifest object found)"}));
}

TEST(ManifestSignature, UnreadableJsonIsAParseError) {
    const std::string notJson = "<html>404 Not Found</html>";
    std::string parseMessage;
    try {
        [[maybe_unused]] const auto parsed = nlohmann::ordered_json::parse(notJson);
    } catch (const std::exception& error) {
        parseMessage = error.what();
    }
    ASSERT_EQ(parseMessage.rfind("[json.exception.parse_error.101]", 0), 0u) << parseMessage;
    EXPECT_EQ(report(notJson, kDetailed), detailed({"[WARNING] [] Failed to parse signature: " + parseMessage,
                                                    "[WARNING] [] Verification result: PARSE ERROR"}));
    EXPECT_EQ(report(notJson, kBrief), brief({"[WARNING] [] Verification result: PARSE ERROR"}));
    EXPECT_EQ(report("", kBrief), brief({"[WARNING] [] Verification result: PARSE ERROR"}));
}

TEST(ManifestSignature, WrongMemberTypesAreParseErrors) {
    const std::string stringSignature = R"({"manifest": {}, "signature": "c2lnbmF0dXJl"})";
    EXPECT_EQ(
        report(stringSignature, kDetailed),
        detailed(
            {"[WARNING] [] Failed to parse signature: [json.exception.type_error.306] cannot use value() "
             "with string",
             "[WARNING] [] Verification result: PARSE ERROR"}));
    EXPECT_EQ(report(stringSignature, kBrief), brief({"[WARNING] [] Verification result: PARSE ERROR"}));

    // A member of the block that is not a string; what was logged before the error stays.
    const std::string numericSigner =
        R"({"manifest": {}, "signature": {"algorithm": "RSA", "signature": "x", "public_key": "y", "signer": 7}})";
    EXPECT_EQ(
        report(numericSigner, kDetailed),
        detailed({"[WARNING] [] Failed to parse signature: [json.exception.type_error.302] type must be "
                  "string, but is number",
                  "[WARNING] [] Verification result: PARSE ERROR"}));
}

TEST(ManifestSignature, ProcessLogOverloadWritesToTheProgramLog) {
    const std::string path = vesk::updater::logger().path();
    const size_t before = vesk::test::readFileBytes(path).size();
    logManifestSignatureStatus(R"({"manifest": {}})", kBrief);
    const std::string written = vesk::test::readFileBytes(path).substr(before);
    EXPECT_NE(written.find("[WARNING] [] Verification result: NO SIGNATURE\r\n"), std::string::npos)
        << written;
}

TEST(ManifestSignature, AbsurdlyDeepNestingIsAParseErrorNotACrash) {
    // Re-serialising the manifest object recurses once per nesting level; a hostile or broken server must
    // not be able to exhaust the stack with it.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    const std::string manifest =
        R"({"manifest": {"files": )" + deep +
        R"(}, "signature": {"algorithm": "RSA", "signature": "c2ln", "public_key": "a2V5"}})";
    const Lines detailedLines = report(manifest, kDetailed);
    ASSERT_EQ(detailedLines.size(), 6u);
    EXPECT_EQ(detailedLines[1].rfind("[WARNING] [] Failed to parse signature: ", 0), 0u) << detailedLines[1];
    EXPECT_EQ(detailedLines[2], "[WARNING] [] Verification result: PARSE ERROR");
    EXPECT_EQ(report(manifest, kBrief), brief({"[WARNING] [] Verification result: PARSE ERROR"}));

    // Ordinary manifests are far below the limit: a few levels of nesting still verify as usual.
    const std::string shallow = std::string(64, '[') + std::string(64, ']');
    const Lines shallowLines =
        report(R"({"manifest": {"files": )" + shallow +
                   R"(}, "signature": {"algorithm": "RSA", "signature": "c2ln", "public_key": "a2V5"}})",
               kBrief);
    EXPECT_NE(std::find(shallowLines.begin(), shallowLines.end(),
                        "[WARNING] [] [FAILED] RSA Signature Verification: FAILED"),
              shallowLines.end());
}
