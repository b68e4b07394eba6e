// A downloaded manifest judged for trust: any text is read in one pass and either refused or trusted, and a
// trusted one hands over a signed object that is itself valid JSON. Signatures are "ok" here, so the
// fuzzer reaches every check after the signature, key successions included.
#include "fuzz_support.h"
#include "integrity/manifest_trust.h"

#include <nlohmann/json.hpp>

using namespace vesk::updater;

namespace {

bool acceptOk(const std::string&, const std::string& signature, const std::string&, std::string&) {
    return signature == "ok";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TrustPolicy policy;
    policy.builtInKeys = {"k1", "k2"};
    policy.storedChain = KeyChainState{1, {"k3"}, {"k2"}};
    policy.channel = "stable";
    policy.floor = ReleaseIdentity{"1.0", "1", ""};
    policy.now = 1780000000;
    const TrustVerdict verdict = judgeManifestTrust(std::string(asText(data, size)), policy, &acceptOk);
    if (verdict.trusted()) {
        FUZZ_REQUIRE(nlohmann::json::accept(verdict.signedText));
        FUZZ_REQUIRE(verdict.channel == "stable");
        FUZZ_REQUIRE(compareReleases(verdict.release, *policy.floor) >= 0);
    } else {
        FUZZ_REQUIRE(verdict.signedText.empty());
        FUZZ_REQUIRE(!notTrustedReason(verdict).empty());
    }
    if (verdict.newChain) {
        FUZZ_REQUIRE(verdict.newChain->sequence > 1);
        FUZZ_REQUIRE(parseKeyChain(formatKeyChain(*verdict.newChain)) == verdict.newChain);
    }
    return 0;
}
