#include "key_succession.h"

#include "encoding.h"
#include "signature_report.h"

#include "integrity/rsa_public_key.h"

#include <algorithm>

namespace vesk::release {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

enum class KeyKind { PrivatePem, PublicPem, UpdaterText, Unknown };

KeyKind kindOf(const std::string& text) {
    if (text.find("-----BEGIN") != std::string::npos) {
        if (text.find("PRIVATE KEY-----") != std::string::npos) {
            return KeyKind::PrivatePem;
        }
        return text.find("PUBLIC KEY-----") != std::string::npos ? KeyKind::PublicPem : KeyKind::Unknown;
    }
    std::string xml, modulus, exponent;
    if (decodeBase64(keyTextWithoutBlanks(text), xml) &&
        vesk::updater::findRsaKeyXmlNumbers(xml, modulus, exponent)) {
        return KeyKind::UpdaterText;
    }
    return KeyKind::Unknown;
}

bool stringList(const OrderedJson& value, bool mayBeEmpty, std::vector<std::string>& out) {
    if (!value.is_array() || (!mayBeEmpty && value.empty())) {
        return false;
    }
    for (const OrderedJson& item : value) {
        if (!item.is_string() || kindOf(item.get<std::string>()) != KeyKind::UpdaterText) {
            return false;
        }
        out.push_back(keyTextWithoutBlanks(item.get<std::string>()));
    }
    return true;
}

bool verifies(const SuccessionStatement& statement, const std::string& keyText) {
    std::string ignored;
    return keyId(keyText) == statement.signedBy &&
           verifyLikeUpdater(statement.signedText(), statement.signature, keyText, ignored);
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

} // namespace

std::string keyTextWithoutBlanks(std::string_view keyText) {
    std::string out;
    for (const char c : keyText) {
        if (!isBlank(c)) {
            out += c;
        }
    }
    return out;
}

std::string keyId(std::string_view keyText) {
    return sha256Hex(keyTextWithoutBlanks(keyText)).substr(0, 16);
}

bool readPublicKeyText(const fs::path& path, const std::string& option, std::string& keyText,
                       std::string& error) {
    std::string text;
    if (!readWholeFile(path, text, error)) {
        return false;
    }
    switch (kindOf(text)) {
    case KeyKind::UpdaterText:
        keyText = keyTextWithoutBlanks(text);
        return true;
    case KeyKind::PrivatePem:
        error = path.string() + ": is a private key; " + option +
                " takes a public key text (the <name>.pub.txt that keygen writes). Keep the private key secret";
        return false;
    case KeyKind::PublicPem:
        error = path.string() + ": is a PEM public key; " + option +
                " takes the updater's key text (the <name>.pub.txt that keygen writes beside it)";
        return false;
    case KeyKind::Unknown:
        break;
    }
    error = path.string() + ": not a public key text (" + option + " takes the <name>.pub.txt that keygen writes)";
    return false;
}

bool readPrivateKey(const fs::path& path, const std::string& option, RsaPrivateKey& key, std::string& error) {
    std::string text;
    if (!readWholeFile(path, text, error)) {
        return false;
    }
    const KeyKind kind = kindOf(text);
    if (kind == KeyKind::PublicPem || kind == KeyKind::UpdaterText) {
        error = path.string() + ": is a public key; " + option +
                " takes the private key (the <name>.pem that keygen writes)";
        return false;
    }
    return key.load(text, path.string(), error);
}

std::string SuccessionStatement::signedText() const {
    if (!readText.empty()) {
        return readText;
    }
    OrderedJson object = OrderedJson::object();
    object["sequence"] = sequence;
    object["keys"] = keys;
    object["retire"] = retire;
    return object.dump();
}

bool parseChain(const OrderedJson& chain, std::vector<SuccessionStatement>& statements, std::string& error) {
    statements.clear();
    if (!chain.is_array()) {
        error = "a key-succession chain is a JSON array of statements";
        return false;
    }
    for (const OrderedJson& item : chain) {
        const std::string where = "statement " + std::to_string(statements.size() + 1);
        SuccessionStatement s;
        if (!item.is_object() || !item.contains("statement") || !item["statement"].is_object() ||
            !item.contains("signed_by") || !item["signed_by"].is_string() || !item.contains("signature") ||
            !item["signature"].is_string()) {
            error = where + ": needs \"statement\", \"signed_by\" and \"signature\"";
            return false;
        }
        const OrderedJson& body = item["statement"];
        if (!body.contains("sequence") || !body["sequence"].is_number_unsigned() || !body.contains("keys") ||
            !stringList(body["keys"], false, s.keys) ||
            (body.contains("retire") && !stringList(body["retire"], true, s.retire))) {
            error = where + ": needs a \"sequence\" number and a non-empty \"keys\" list of key texts";
            return false;
        }
        s.sequence = body["sequence"].get<std::uint64_t>();
        s.readText = body.dump();
        s.signedBy = item["signed_by"].get<std::string>();
        s.signature = item["signature"].get<std::string>();
        if (s.sequence != statements.size() + 1) {
            error = where + ": has sequence " + std::to_string(s.sequence) + "; the chain counts 1, 2, 3, ...";
            return false;
        }
        if (!statements.empty()) {
            const std::vector<std::string>& previous = statements.back().keys;
            if (std::none_of(previous.begin(), previous.end(),
                             [&](const std::string& key) { return verifies(s, key); })) {
                error = where + ": is not signed by a key of statement " + std::to_string(statements.size()) +
                        " (signed_by " + s.signedBy + ")";
                return false;
            }
        }
        statements.push_back(std::move(s));
    }
    return true;
}

bool readChainFile(const fs::path& path, bool mayBeMissing, OrderedJson& chain,
                   std::vector<SuccessionStatement>& statements, std::string& error) {
    std::error_code ec;
    if (mayBeMissing && !fs::exists(path, ec)) {
        chain = OrderedJson::array();
        statements.clear();
        return true;
    }
    std::string text;
    if (!readWholeFile(path, text, error)) {
        return false;
    }
    chain = OrderedJson::parse(text, nullptr, false);
    if (chain.is_discarded()) {
        error = path.string() + ": not JSON";
        return false;
    }
    if (!parseChain(chain, statements, error)) {
        error = path.string() + ": " + error;
        return false;
    }
    return true;
}

OrderedJson chainJson(const std::vector<SuccessionStatement>& statements) {
    OrderedJson chain = OrderedJson::array();
    for (const SuccessionStatement& s : statements) {
        OrderedJson item = OrderedJson::object();
        item["statement"] = OrderedJson::parse(s.signedText());
        item["signed_by"] = s.signedBy;
        item["signature"] = s.signature;
        chain.push_back(std::move(item));
    }
    return chain;
}

bool appendStatement(std::vector<SuccessionStatement>& statements, const RsaPrivateKey& signer,
                     const std::vector<std::string>& keys, const std::vector<std::string>& retire,
                     std::string& error) {
    const std::string signerText = signer.publicKeyForUpdater();
    if (!statements.empty() && !contains(statements.back().keys, signerText)) {
        error = "the signing key " + keyId(signerText) + " is not one of the keys the last statement (sequence " +
                std::to_string(statements.back().sequence) + ") vouches for, so no program would follow it";
        return false;
    }
    if (keys.empty()) {
        error = "a statement needs at least one key (--new-key)";
        return false;
    }
    for (const std::string& key : retire) {
        if (contains(keys, key)) {
            error = "key " + keyId(key) + " is both vouched for and retired";
            return false;
        }
    }
    SuccessionStatement s;
    s.sequence = statements.size() + 1;
    s.keys = keys;
    s.retire = retire;
    s.signedBy = keyId(signerText);
    if (!signer.signBase64(s.signedText(), s.signature, error)) {
        return false;
    }
    statements.push_back(std::move(s));
    return true;
}

std::string unverifiedStatement(const std::vector<SuccessionStatement>& statements,
                                const std::set<std::string>& knownKeys) {
    for (const SuccessionStatement& s : statements) {
        for (const std::string& key : knownKeys) {
            if (keyId(key) == s.signedBy && !verifies(s, key)) {
                return "statement " + std::to_string(s.sequence) + " does not verify with key " + s.signedBy +
                       ", which signed it";
            }
        }
    }
    return {};
}

void addVouchedKeys(std::set<std::string>& keys, const std::vector<SuccessionStatement>& statements) {
    for (const SuccessionStatement& s : statements) {
        if (std::any_of(keys.begin(), keys.end(), [&](const std::string& key) { return verifies(s, key); })) {
            keys.insert(s.keys.begin(), s.keys.end());
        }
    }
}

} // namespace vesk::release
