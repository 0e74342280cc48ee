// Basic RSA operations on an OpenSSL key: signing, verification, PKCS#1 v1.5 encryption and
// decryption. A card key routes its private-key operations to the card through its RSA method,
// so the same code serves card keys and software keys.
#include "vantrel.h"

#include "cryptoki.h"

#include "openssl_owned.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <vector>

namespace {

constexpr std::uint32_t kMechRsaPkcs = 1;

using ossl::MdCtxPtr;
using ossl::PkeyCtxPtr;

EVP_PKEY* AsPkey(VR_KEY key) {
    return static_cast<EVP_PKEY*>(key);
}

int KeySize(EVP_PKEY* key) {
    return key ? EVP_PKEY_size(key) : 0;
}

// The RSA form of the key for the raw paths; null when the key is not an RSA key.
RSA* RsaOf(EVP_PKEY* key) {
    return key ? const_cast<RSA*>(EVP_PKEY_get0_RSA(key)) : nullptr;
}

// A length from the caller that cannot describe a buffer is refused rather than handed on.
bool ValidInput(const unsigned char* data, std::int32_t len) {
    return len >= 0 && (data != nullptr || len == 0);
}

// The digest name of a hashing mechanism; null for every other value.
const char* DigestName(std::uint32_t mech) {
    switch (mech) {
    case CKM_MD5_RSA_PKCS:
        return "MD5";
    case CKM_SHA1_RSA_PKCS:
        return "SHA1";
    case CKM_SHA256_RSA_PKCS:
        return "SHA256";
    case CKM_SHA384_RSA_PKCS:
        return "SHA384";
    case CKM_SHA512_RSA_PKCS:
        return "SHA512";
    case CKM_SHA224_RSA_PKCS:
        return "SHA224";
    default:
        return nullptr;
    }
}

// Hashes data into a fresh context; null when the context cannot be set up.
MdCtxPtr HashData(const EVP_MD* md, const unsigned char* data, std::int32_t dataLen) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data, static_cast<size_t>(dataLen)) != 1) {
        return nullptr;
    }
    return ctx;
}

VR_RESULT SignRaw(const unsigned char* data, std::int32_t dataLen, EVP_PKEY* key,
                  unsigned char* sig, std::int32_t* sigLen) {
    RSA* rsa = RsaOf(key);
    if (!rsa) {
        return CRYPTO_SIGN_ERROR;
    }
    int n = RSA_private_encrypt(dataLen, data, sig, rsa, RSA_PKCS1_PADDING);
    if (n <= 0) {
        return CRYPTO_SIGN_ERROR;
    }
    *sigLen = n;
    return OK;
}

VR_RESULT SignDigest(const char* mdName, const unsigned char* data, std::int32_t dataLen,
                     EVP_PKEY* key, unsigned char* sig, std::int32_t* sigLen) {
    const EVP_MD* md = EVP_get_digestbyname(mdName);
    if (!md) {
        return CRYPTO_DIGEST_NOT_SUPPORTED;
    }
    MdCtxPtr ctx = HashData(md, data, dataLen);
    if (!ctx) {
        return CRYPTO_SIGN_ERROR;
    }
    unsigned int n = 0;
    int ok = EVP_SignFinal(ctx.get(), sig, &n, key);
    *sigLen = static_cast<std::int32_t>(n);
    return ok == 1 ? OK : CRYPTO_SIGN_ERROR;
}

VR_RESULT VerifyRaw(const unsigned char* data, std::int32_t dataLen, EVP_PKEY* key,
                    const unsigned char* sig, std::int32_t sigLen) {
    RSA* rsa = RsaOf(key);
    if (!rsa || !sig || sigLen < 0) {
        return CRYPTO_VERIFY_ERROR;
    }
    // The recovered block is never longer than the modulus.
    std::vector<unsigned char> block(static_cast<size_t>(RSA_size(rsa)));
    int n = RSA_public_decrypt(sigLen, sig, block.data(), rsa, RSA_PKCS1_PADDING);
    if (n <= 0) {
        return CRYPTO_VERIFY_ERROR;
    }
    if (n != dataLen || !std::equal(block.begin(), block.begin() + n, data)) {
        return CRYPTO_RAW_SIGNATURE_INVALID;
    }
    return OK;
}

VR_RESULT VerifyDigest(const char* mdName, const unsigned char* data, std::int32_t dataLen,
                       EVP_PKEY* key, const unsigned char* sig, std::int32_t sigLen) {
    const EVP_MD* md = EVP_get_digestbyname(mdName);
    if (!md) {
        return CRYPTO_DIGEST_NOT_SUPPORTED;
    }
    if (!key || !sig || sigLen < 0) {
        return CRYPTO_VERIFY_ERROR;
    }
    MdCtxPtr ctx = HashData(md, data, dataLen);
    if (!ctx) {
        return CRYPTO_VERIFY_ERROR;
    }
    int ok = EVP_VerifyFinal(ctx.get(), sig, static_cast<unsigned int>(sigLen), key);
    return ok == 1 ? OK : CRYPTO_VERIFY_ERROR;
}

enum class Direction { Encrypt, Decrypt };

// Shared body of BasicAsymEncrypt and BasicAsymDecrypt (PKCS#1 v1.5, OpenSSL's default padding).
VR_RESULT AsymCrypt(Direction dir, const unsigned char* in, std::int32_t inLen, VR_KEY key,
                    unsigned char* out, std::int32_t* outLen) {
    const VR_RESULT failure =
        dir == Direction::Encrypt ? CRYPTO_ENCRYPT_ERROR : CRYPTO_DECRYPT_ERROR;
    if (!outLen) {
        return BASIC_ARGUMENTS_BAD;
    }
    EVP_PKEY* pkey = AsPkey(key);
    const int size = KeySize(pkey);
    if (!out) {
        *outLen = size;
        return OK;
    }
    if (*outLen < size) {
        *outLen = size;
        return BASIC_BUFFER_TOO_SMALL;
    }
    if (!ValidInput(in, inLen)) {
        return failure;
    }
    PkeyCtxPtr ctx(pkey ? EVP_PKEY_CTX_new(pkey, nullptr) : nullptr);
    if (!ctx) {
        return failure;
    }
    const bool encrypt = dir == Direction::Encrypt;
    if ((encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) <= 0) {
        return failure;
    }
    size_t n = static_cast<size_t>(*outLen);
    int rc = encrypt ? EVP_PKEY_encrypt(ctx.get(), out, &n, in, static_cast<size_t>(inLen))
                     : EVP_PKEY_decrypt(ctx.get(), out, &n, in, static_cast<size_t>(inLen));
    *outLen = static_cast<std::int32_t>(n);
    return rc > 0 ? OK : failure;
}

} // namespace

VANTREL_API VR_RESULT BasicSign(std::uint32_t mech, const unsigned char* data, std::int32_t dataLen,
                                VR_KEY key, unsigned char* sig, std::int32_t* sigLen) {
    if (!sigLen) {
        return BASIC_ARGUMENTS_BAD;
    }
    EVP_PKEY* pkey = AsPkey(key);
    const int size = KeySize(pkey);
    // A size answer comes before any look at the mechanism or the data.
    if (!sig || *sigLen < size) {
        *sigLen = size;
        return OK;
    }
    OpenSSL_add_all_digests();
    const char* mdName = DigestName(mech);
    if (mech != kMechRsaPkcs && !mdName) {
        return CRYPTO_MECHANISM_INVALID;
    }
    if (!pkey || !ValidInput(data, dataLen)) {
        return CRYPTO_SIGN_ERROR;
    }
    if (mech == kMechRsaPkcs) {
        return SignRaw(data, dataLen, pkey, sig, sigLen);
    }
    return SignDigest(mdName, data, dataLen, pkey, sig, sigLen);
}

VANTREL_API VR_RESULT BasicVerify(std::uint32_t mech, const unsigned char* data,
                                  std::int32_t dataLen, VR_KEY key, const unsigned char* sig,
                                  std::int32_t sigLen) {
    OpenSSL_add_all_digests();
    const char* mdName = DigestName(mech);
    if (mech != kMechRsaPkcs && !mdName) {
        return CRYPTO_MECHANISM_INVALID;
    }
    if (!ValidInput(data, dataLen)) {
        return CRYPTO_VERIFY_ERROR;
    }
    EVP_PKEY* pkey = AsPkey(key);
    if (mech == kMechRsaPkcs) {
        return VerifyRaw(data, dataLen, pkey, sig, sigLen);
    }
    return VerifyDigest(mdName, data, dataLen, pkey, sig, sigLen);
}

VANTREL_API VR_RESULT BasicAsymEncrypt(std::uint32_t /*mech*/, const unsigned char* in,
                                       std::int32_t inLen, VR_KEY key, unsigned char* out,
                                       std::int32_t* outLen) {
    return AsymCrypt(Direction::Encrypt, in, inLen, key, out, outLen);
}

VANTREL_API VR_RESULT BasicAsymDecrypt(std::uint32_t /*mech*/, const unsigned char* in,
                                       std::int32_t inLen, VR_KEY key, unsigned char* out,
                                       std::int32_t* outLen) {
    return AsymCrypt(Direction::Decrypt, in, inLen, key, out, outLen);
}
