// Basic RSA operations on an OpenSSL key: signing, verification, PKCS#1 v1.5 encryption and
// decryption. A card key routes its private-key operations to the card through its RSA method,
// so the same code serves card keys and software keys.
#include "vantrel.h"

#include "cryptoki.h"
#include "token/VantrelBasic.h"

#include "openssl_owned.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <vector>

namespace {

constexpr std::uint32_t kMechRsaPkcs = 1;

using ossl::MdCtxPtr;
using ossl::PkeyCtxPtr;
using vantrel::Family;
using vantrel::Fault;
using vantrel::Status;
using vantrel::ToResult;

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

// A mechanism this library signs and verifies with: raw PKCS#1 or one with a digest.
Status CheckMechanism(std::uint32_t mech) {
    return mech == kMechRsaPkcs || DigestName(mech) != nullptr
               ? Status::Done()
               : Status::Fail(Fault::Unsupported, "mechanism", CKR_MECHANISM_INVALID);
}

// The digest of a hashing mechanism, or why there is none.
Status FindDigest(const char* mdName, const EVP_MD*& md) {
    md = EVP_get_digestbyname(mdName);
    return md != nullptr ? Status::Done()
                         : Status::Fail(Fault::Unsupported, "digest", CKR_FUNCTION_NOT_SUPPORTED);
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

Status SignRaw(const unsigned char* data, std::int32_t dataLen, EVP_PKEY* key, unsigned char* sig,
               std::int32_t* sigLen) {
    RSA* rsa = RsaOf(key);
    if (!rsa) {
        return Status::Fail(Fault::BadInput, "not an RSA key");
    }
    int n = RSA_private_encrypt(dataLen, data, sig, rsa, RSA_PKCS1_PADDING);
    if (n <= 0) {
        return Status::Fail(Fault::OpenSsl, "RSA_private_encrypt");
    }
    *sigLen = n;
    return Status::Done();
}

Status SignDigest(const char* mdName, const unsigned char* data, std::int32_t dataLen,
                  EVP_PKEY* key, unsigned char* sig, std::int32_t* sigLen) {
    const EVP_MD* md = nullptr;
    if (Status found = FindDigest(mdName, md); !found.Ok()) {
        return found;
    }
    MdCtxPtr ctx = HashData(md, data, dataLen);
    if (!ctx) {
        return Status::Fail(Fault::OpenSsl, "digest");
    }
    unsigned int n = 0;
    int ok = EVP_SignFinal(ctx.get(), sig, &n, key);
    *sigLen = static_cast<std::int32_t>(n);
    return ok == 1 ? Status::Done() : Status::Fail(Fault::OpenSsl, "EVP_SignFinal");
}

Status VerifyRaw(const unsigned char* data, std::int32_t dataLen, EVP_PKEY* key,
                 const unsigned char* sig, std::int32_t sigLen) {
    RSA* rsa = RsaOf(key);
    if (!rsa || !sig || sigLen < 0) {
        return Status::Fail(Fault::BadInput, "key or signature");
    }
    // The recovered block is never longer than the modulus.
    std::vector<unsigned char> block(static_cast<size_t>(RSA_size(rsa)));
    int n = RSA_public_decrypt(sigLen, sig, block.data(), rsa, RSA_PKCS1_PADDING);
    if (n <= 0) {
        return Status::Fail(Fault::OpenSsl, "RSA_public_decrypt");
    }
    if (n != dataLen || !std::equal(block.begin(), block.begin() + n, data)) {
        return Status::Fail(Fault::Invalid, "signature", CKR_SIGNATURE_INVALID);
    }
    return Status::Done();
}

Status VerifyDigest(const char* mdName, const unsigned char* data, std::int32_t dataLen,
                    EVP_PKEY* key, const unsigned char* sig, std::int32_t sigLen) {
    const EVP_MD* md = nullptr;
    if (Status found = FindDigest(mdName, md); !found.Ok()) {
        return found;
    }
    if (!key || !sig || sigLen < 0) {
        return Status::Fail(Fault::BadInput, "key or signature");
    }
    MdCtxPtr ctx = HashData(md, data, dataLen);
    if (!ctx) {
        return Status::Fail(Fault::OpenSsl, "digest");
    }
    int ok = EVP_VerifyFinal(ctx.get(), sig, static_cast<unsigned int>(sigLen), key);
    return ok == 1 ? Status::Done() : Status::Fail(Fault::OpenSsl, "EVP_VerifyFinal");
}

Status Sign(std::uint32_t mech, const unsigned char* data, std::int32_t dataLen, EVP_PKEY* pkey,
            unsigned char* sig, std::int32_t* sigLen) {
    if (!sigLen) {
        return Status::Fail(Fault::Argument, "signature length");
    }
    const int size = KeySize(pkey);
    // A size answer comes before any look at the mechanism or the data.
    if (!sig || *sigLen < size) {
        *sigLen = size;
        return Status::Done();
    }
    OpenSSL_add_all_digests();
    if (Status usable = CheckMechanism(mech); !usable.Ok()) {
        return usable;
    }
    if (!pkey || !ValidInput(data, dataLen)) {
        return Status::Fail(Fault::BadInput, "key or data");
    }
    if (mech == kMechRsaPkcs) {
        return SignRaw(data, dataLen, pkey, sig, sigLen);
    }
    return SignDigest(DigestName(mech), data, dataLen, pkey, sig, sigLen);
}

Status Verify(std::uint32_t mech, const unsigned char* data, std::int32_t dataLen, EVP_PKEY* pkey,
              const unsigned char* sig, std::int32_t sigLen) {
    OpenSSL_add_all_digests();
    if (Status usable = CheckMechanism(mech); !usable.Ok()) {
        return usable;
    }
    if (!ValidInput(data, dataLen)) {
        return Status::Fail(Fault::BadInput, "data");
    }
    if (mech == kMechRsaPkcs) {
        return VerifyRaw(data, dataLen, pkey, sig, sigLen);
    }
    return VerifyDigest(DigestName(mech), data, dataLen, pkey, sig, sigLen);
}

enum class Direction { Encrypt, Decrypt };

// Shared body of BasicAsymEncrypt and BasicAsymDecrypt (PKCS#1 v1.5, OpenSSL's default padding).
Status AsymCrypt(Direction dir, const unsigned char* in, std::int32_t inLen, VR_KEY key,
                 unsigned char* out, std::int32_t* outLen) {
    if (!outLen) {
        return Status::Fail(Fault::Argument, "output length");
    }
    EVP_PKEY* pkey = AsPkey(key);
    const int size = KeySize(pkey);
    if (!out) {
        *outLen = size;
        return Status::Done();
    }
    if (*outLen < size) {
        *outLen = size;
        return Status::Fail(Fault::BufferTooSmall, "output");
    }
    if (!ValidInput(in, inLen)) {
        return Status::Fail(Fault::BadInput, "input");
    }
    PkeyCtxPtr ctx(pkey ? EVP_PKEY_CTX_new(pkey, nullptr) : nullptr);
    if (!ctx) {
        return Status::Fail(Fault::BadInput, "key");
    }
    const bool encrypt = dir == Direction::Encrypt;
    if ((encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) <= 0) {
        return Status::Fail(Fault::OpenSsl, "EVP_PKEY init");
    }
    size_t n = static_cast<size_t>(*outLen);
    int rc = encrypt ? EVP_PKEY_encrypt(ctx.get(), out, &n, in, static_cast<size_t>(inLen))
                     : EVP_PKEY_decrypt(ctx.get(), out, &n, in, static_cast<size_t>(inLen));
    *outLen = static_cast<std::int32_t>(n);
    return rc > 0 ? Status::Done() : Status::Fail(Fault::OpenSsl, "EVP_PKEY operation");
}

} // namespace

VANTREL_API VR_RESULT BasicSign(std::uint32_t mech, const unsigned char* data, std::int32_t dataLen,
                                VR_KEY key, unsigned char* sig, std::int32_t* sigLen) {
    return ToResult(Sign(mech, data, dataLen, AsPkey(key), sig, sigLen), Family::Sign);
}

VANTREL_API VR_RESULT BasicVerify(std::uint32_t mech, const unsigned char* data,
                                  std::int32_t dataLen, VR_KEY key, const unsigned char* sig,
                                  std::int32_t sigLen) {
    return ToResult(Verify(mech, data, dataLen, AsPkey(key), sig, sigLen), Family::Verify);
}

VANTREL_API VR_RESULT BasicAsymEncrypt(std::uint32_t /*mech*/, const unsigned char* in,
                                       std::int32_t inLen, VR_KEY key, unsigned char* out,
                                       std::int32_t* outLen) {
    return ToResult(AsymCrypt(Direction::Encrypt, in, inLen, key, out, outLen), Family::Encrypt);
}

VANTREL_API VR_RESULT BasicAsymDecrypt(std::uint32_t /*mech*/, const unsigned char* in,
                                       std::int32_t inLen, VR_KEY key, unsigned char* out,
                                       std::int32_t* outLen) {
    return ToResult(AsymCrypt(Direction::Decrypt, in, inLen, key, out, outLen), Family::Decrypt);
}
