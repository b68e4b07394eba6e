#include "rsa_keys.h"

#include "encoding.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <vector>

namespace vesk::release {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};

using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
using Bn = std::unique_ptr<BIGNUM, BnFree>;

// The most recent OpenSSL error as text, and the queue cleared so later calls start clean.
std::string openSslError() {
    const unsigned long code = ERR_peek_last_error();
    std::string text = "unknown OpenSSL error";
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text = buffer;
    }
    ERR_clear_error();
    return text;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::string bignumBytes(const BIGNUM* number) {
    std::string out(static_cast<size_t>(BN_num_bytes(number)), '\0');
    BN_bn2bin(number, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

bool publicNumbers(EVP_PKEY* key, std::string& modulus, std::string& exponent) {
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1 ||
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) != 1) {
        BN_free(n);
        BN_free(e);
        return false;
    }
    Bn ownN(n), ownE(e);
    modulus = bignumBytes(n);
    exponent = bignumBytes(e);
    return true;
}

} // namespace

bool generateRsaKeyPair(int bits, RsaKeyPairPem& out, std::string& error) {
    if (bits < kMinimumRsaBits || bits > kMaximumRsaBits) {
        error = "key size " + std::to_string(bits) + " bits is outside " + std::to_string(kMinimumRsaBits) +
                ".." + std::to_string(kMaximumRsaBits);
        return false;
    }
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    if (!key) {
        error = "RSA key generation failed: " + openSslError();
        return false;
    }
    Bio privateBio(BIO_new(BIO_s_mem()));
    Bio publicBio(BIO_new(BIO_s_mem()));
    if (!privateBio || !publicBio ||
        PEM_write_bio_PrivateKey(privateBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_PUBKEY(publicBio.get(), key.get()) != 1) {
        error = "cannot write the key as PEM: " + openSslError();
        return false;
    }
    out.privatePem = bioText(privateBio.get());
    out.publicPem = bioText(publicBio.get());
    return true;
}

std::string rsaKeyValueXml(std::string_view modulus, std::string_view exponent) {
    return "<RSAKeyValue><Modulus>" + encodeBase64(modulus) + "</Modulus><Exponent>" +
           encodeBase64(exponent) + "</Exponent></RSAKeyValue>";
}

void RsaPrivateKey::Free::operator()(void* key) const {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(key));
}

bool RsaPrivateKey::load(std::string_view pem, const std::string& source, std::string& error) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    // An empty pass phrase: an encrypted key fails here instead of prompting on the terminal.
    EVP_PKEY* raw =
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>("")) : nullptr;
    if (!raw) {
        error = source + ": not an unencrypted PEM private key (" + openSslError() + ")";
        return false;
    }
    Pkey key(raw);
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        error = source + ": not an RSA key";
        return false;
    }
    if (EVP_PKEY_get_bits(key.get()) < kMinimumRsaBits) {
        error = source + ": RSA key of " + std::to_string(EVP_PKEY_get_bits(key.get())) + " bits; at least " +
                std::to_string(kMinimumRsaBits) + " are required";
        return false;
    }
    std::string modulus, exponent;
    if (!publicNumbers(key.get(), modulus, exponent)) {
        error = source + ": cannot read the RSA public numbers";
        return false;
    }
    // The updater keeps the public exponent in a 32-bit field.
    if (exponent.size() > 4) {
        error = source + ": the public exponent is longer than 4 bytes, which the updater cannot import";
        return false;
    }
    key_.reset(key.release());
    return true;
}

int RsaPrivateKey::bits() const {
    return key_ ? EVP_PKEY_get_bits(static_cast<EVP_PKEY*>(key_.get())) : 0;
}

std::string RsaPrivateKey::publicKeyForUpdater() const {
    std::string modulus, exponent;
    if (!key_ || !publicNumbers(static_cast<EVP_PKEY*>(key_.get()), modulus, exponent)) {
        return {};
    }
    return encodeBase64(rsaKeyValueXml(modulus, exponent));
}

bool RsaPrivateKey::signBase64(std::string_view data, std::string& signatureBase64,
                               std::string& error) const {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!key_ || !context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr,
                           static_cast<EVP_PKEY*>(key_.get())) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) != 1) {
        error = "signing failed: " + openSslError();
        return false;
    }
    std::string signature(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        error = "signing failed: " + openSslError();
        return false;
    }
    signature.resize(length);
    signatureBase64 = encodeBase64(signature);
    return true;
}

bool verifyRsaSha256(std::string_view data, std::string_view signature, std::string_view modulus,
                     std::string_view exponent) {
    Bn n(BN_bin2bn(reinterpret_cast<const unsigned char*>(modulus.data()), static_cast<int>(modulus.size()),
                   nullptr));
    Bn e(BN_bin2bn(reinterpret_cast<const unsigned char*>(exponent.data()), static_cast<int>(exponent.size()),
                   nullptr));
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> builder(OSSL_PARAM_BLD_new());
    if (!n || !e || !builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(builder.get()));
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> fromData(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !fromData || EVP_PKEY_fromdata_init(fromData.get()) != 1 ||
        EVP_PKEY_fromdata(fromData.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    Pkey key(raw);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    const bool ok = context &&
                    EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
                    EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                                     signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                                     data.size()) == 1;
    ERR_clear_error();
    return ok;
}

} // namespace vesk::release
