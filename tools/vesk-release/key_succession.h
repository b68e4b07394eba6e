#pragma once

#include "file_util.h"
#include "rsa_keys.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vesk::release {

// A key text with every ASCII blank removed: two copies of one key compare equal however they were wrapped.
std::string keyTextWithoutBlanks(std::string_view keyText);

// How a key is named in reports: the first 16 lower-case hex digits of SHA-256 over the key text without
// blanks.
std::string keyId(std::string_view keyText);

// Reads a public key text (the <name>.pub.txt keygen writes) for option; a private key, a PEM public key or
// anything else is refused with an error that says which it is.
bool readPublicKeyText(const fs::path& path, const std::string& option, std::string& keyText,
                       std::string& error);

// Reads and loads a private key for option; a public key given in its place is named as such.
bool readPrivateKey(const fs::path& path, const std::string& option, RsaPrivateKey& key, std::string& error);

// One signed statement of a key-succession chain: the key that signs it vouches for "keys" and retires
// "retire".
struct SuccessionStatement {
    std::uint64_t sequence = 0;
    std::vector<std::string> keys;
    std::vector<std::string> retire;
    std::string signedBy;  // key id of the signer
    std::string signature; // Base64 RSA-SHA256 over signedText()
    // The statement object as read from a chain, compactly serialised; empty for one made here.
    std::string readText;
    // The compact statement object the signature covers: as read, so a statement written by another tool
    // (without "retire", say) keeps its signed bytes; {"sequence":N,"keys":[...],"retire":[...]} otherwise.
    std::string signedText() const;
};

using OrderedJson = nlohmann::ordered_json;

// Reads a chain array: every statement well-formed, sequences 1, 2, 3, ... and every statement after the
// first signed by a key of the one before it, with a signature that verifies. The first statement's signer
// is not known here (it is a key the programs were built with), so only its form is checked.
bool parseChain(const OrderedJson& chain, std::vector<SuccessionStatement>& statements, std::string& error);

// parseChain over a file; a missing file is an empty chain when mayBeMissing.
bool readChainFile(const fs::path& path, bool mayBeMissing, OrderedJson& chain,
                   std::vector<SuccessionStatement>& statements, std::string& error);

// The chain as stored in a chain file and in a manifest's "key_succession".
OrderedJson chainJson(const std::vector<SuccessionStatement>& statements);

// Signs and appends the next statement. signer must be one of the previous statement's keys (any key for
// the first); keys must not be empty and keys and retire must not share a key.
bool appendStatement(std::vector<SuccessionStatement>& statements, const RsaPrivateKey& signer,
                     const std::vector<std::string>& keys, const std::vector<std::string>& retire,
                     std::string& error);

// The first statement signed by one of knownKeys (texts without blanks) whose signature does not verify,
// as an error text; "" when there is none. The first statement's signer is usually known only to the
// programs, but when the publisher's tree knows it, a forged or damaged statement is caught here.
std::string unverifiedStatement(const std::vector<SuccessionStatement>& statements,
                                const std::set<std::string>& knownKeys);

// Grows a set of keys (texts without blanks) along a chain: every statement signed by a key already in the
// set, with a signature that verifies, adds its "keys". Statements that do not qualify are passed over.
void addVouchedKeys(std::set<std::string>& keys, const std::vector<SuccessionStatement>& statements);

} // namespace vesk::release
