// The XML RSA key value from a manifest or a build setting: its two numbers found and packed into a key blob.
#include "fuzz_support.h"
#include "integrity/rsa_public_key.h"

using namespace vesk::updater;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string modulusText;
    std::string exponentText;
    if (!findRsaKeyXmlNumbers(asText(data, size), modulusText, exponentText)) {
        return 0;
    }
    // The two spans may overlap (a tag inside the other number), so each is bounded on its own.
    FUZZ_REQUIRE(modulusText.size() <= size && exponentText.size() <= size);
    // The found texts stand in for decoded numbers: any bytes at all must pack or be refused soundly.
    const std::vector<std::uint8_t> modulus(modulusText.begin(), modulusText.end());
    const std::vector<std::uint8_t> exponent(exponentText.begin(), exponentText.end());
    std::vector<std::uint8_t> blob;
    if (buildRsaPublicKeyBlob(modulus, exponent, blob)) {
        FUZZ_REQUIRE(blob.size() == 20 + modulus.size() && blob[20] == modulus.back());
    } else {
        FUZZ_REQUIRE(blob.empty());
    }
    return 0;
}
