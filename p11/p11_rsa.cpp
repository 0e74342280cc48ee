// Card keys as OpenSSL RSA keys: the private-key operations go to the token.
#include "p11/p11_key.h"

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include <openssl/err.h>
#include <openssl/objects.h>

#include "p11/p11_internal.h"
#include "openssl_owned.h"
#include "protocol/Mechanisms.h"

namespace {

// Function codes of the error queue entries.
constexpr int kFuncSign = 1;
constexpr int kFuncVerify = 2;
constexpr int kFuncPrivEnc = 3;
constexpr int kFuncPrivDec = 4;

// Reason codes of our own (a CK_RV is recorded as it is).
constexpr int kBadPadding = -2;
constexpr int kNoModulus = -2;
constexpr int kBadMd5Sha1 = -3;
constexpr int kBadDigestInfo = -4;
constexpr int kNoVerifyKey = -1;

const char* FuncName(int func) {
    switch (func) {
    case kFuncSign:
        return "p11_rsa_sign";
    case kFuncVerify:
        return "p11_rsa_verify";
    case kFuncPrivEnc:
        return "p11_rsa_priv_enc";
    default:
        return "p11_rsa_priv_dec";
    }
}

// OpenSSL 3 packs no function code: it goes with the entry as its function name and data.
void RecordError(int func, long reason, int line) {
    ERR_new();
    ERR_set_debug("p11_key", line, FuncName(func));
    ERR_set_error(ERR_LIB_USER, static_cast<int>(reason & 0xFFF), "function %d", func);
}

using ossl::BnPtr;
using ossl::PkeyPtr;
// The legacy RSA object is this unit's own business (built with the deprecated calls allowed).
using RsaPtr = ossl::Owned<RSA, RSA_free>;

// The binding lives in the key's ex-data and is deleted when the key is.
void FreeBinding(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<PKCS11_KEY_BINDING*>(ptr);
}

int BindingIndex() {
    static const int index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeBinding);
    return index;
}

const PKCS11_KEY_BINDING* BindingOf(const RSA* rsa) {
    return static_cast<const PKCS11_KEY_BINDING*>(RSA_get_ex_data(rsa, BindingIndex()));
}

// The output buffers OpenSSL hands the method hold RSA_size bytes; the card never gets more.
CK_ULONG OutputCapacity(const RSA* rsa) {
    return RSA_get0_n(rsa) != nullptr ? static_cast<CK_ULONG>(RSA_size(rsa)) : 0;
}

CK_MECHANISM RsaPkcs() {
    return CK_MECHANISM{CKM_RSA_PKCS, nullptr, 0};
}

int PrivEnc(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    if (padding != RSA_PKCS1_PADDING) {
        RecordError(kFuncPrivEnc, kBadPadding, __LINE__);
        return -1;
    }
    const PKCS11_KEY_BINDING* b = BindingOf(rsa);
    const CK_ULONG capacity = OutputCapacity(rsa);
    if (b == nullptr || capacity == 0 || flen < 0) {
        RecordError(kFuncPrivEnc, kNoModulus, __LINE__);
        return -1;
    }
    const p11detail::Call call(b->functions);
    CK_MECHANISM mech = RsaPkcs();
    CK_RV rv = call.Raw(&CK_FUNCTION_LIST::C_SignInit, b->session, &mech, b->key);
    if (rv != CKR_OK) {
        RecordError(kFuncPrivEnc, static_cast<long>(rv), __LINE__);
        return -1;
    }
    if (b->contextPin) {
        // A key that needs the PIN before every use: one context-specific login per signature.
        // A refusal is final; trying again would spend another of the holder's PIN tries.
        // An empty PIN goes as none at all, so that a reader with a PIN pad asks the holder.
        const P11ContextPin& pin = *b->contextPin;
        CK_UTF8CHAR_PTR bytes = pin.Length() != 0 ? pin.Pin() : nullptr;
        rv = pin.Held() ? call.Raw(&CK_FUNCTION_LIST::C_Login, b->session,
                                   CK_USER_TYPE{CKU_CONTEXT_SPECIFIC}, bytes, pin.Length())
                        : CKR_USER_NOT_LOGGED_IN;
        if (rv != CKR_OK) {
            RecordError(kFuncPrivEnc, static_cast<long>(rv), __LINE__);
            return -1;
        }
    }
    CK_ULONG len = capacity;
    rv = call.Raw(&CK_FUNCTION_LIST::C_Sign, b->session, const_cast<unsigned char*>(from),
                  static_cast<CK_ULONG>(flen), to, &len);
    if (rv != CKR_OK || len > capacity) {
        RecordError(kFuncPrivEnc, static_cast<long>(rv), __LINE__);
        return -1;
    }
    return static_cast<int>(len);
}

int PrivDec(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    if (padding != RSA_PKCS1_PADDING) {
        RecordError(kFuncPrivDec, kBadPadding, __LINE__);
        return -1;
    }
    const PKCS11_KEY_BINDING* b = BindingOf(rsa);
    const CK_ULONG capacity = OutputCapacity(rsa);
    if (b == nullptr || capacity == 0 || flen < 0) {
        RecordError(kFuncPrivDec, kNoModulus, __LINE__);
        return -1;
    }
    const p11detail::Call call(b->functions);
    CK_MECHANISM mech = RsaPkcs();
    CK_RV rv = call.Raw(&CK_FUNCTION_LIST::C_DecryptInit, b->session, &mech, b->key);
    if (rv != CKR_OK) {
        RecordError(kFuncPrivDec, static_cast<long>(rv), __LINE__);
        return -3;
    }
    CK_ULONG len = capacity;
    rv = call.Raw(&CK_FUNCTION_LIST::C_Decrypt, b->session, const_cast<unsigned char*>(from),
                  static_cast<CK_ULONG>(flen), to, &len);
    if (rv != CKR_OK || len > capacity) {
        RecordError(kFuncPrivDec, static_cast<long>(rv), __LINE__);
        return -4;
    }
    return static_cast<int>(len);
}

// The hash algorithm of an OpenSSL digest NID, for the ones a card signature is made with.
std::optional<tessivo::HashAlgorithm> HashOfNid(int type) {
    switch (type) {
    case NID_md5:
        return tessivo::HashAlgorithm::Md5;
    case NID_sha1:
        return tessivo::HashAlgorithm::Sha1;
    case NID_sha224:
        return tessivo::HashAlgorithm::Sha224;
    case NID_sha256:
        return tessivo::HashAlgorithm::Sha256;
    case NID_sha384:
        return tessivo::HashAlgorithm::Sha384;
    case NID_sha512:
        return tessivo::HashAlgorithm::Sha512;
    default:
        return std::nullopt;
    }
}

int Sign(int type, const unsigned char* m, unsigned int mLen, unsigned char* sigret,
         unsigned int* siglen, const RSA* rsa) {
    if (RSA_get0_n(rsa) == nullptr) {
        RecordError(kFuncSign, kNoModulus, __LINE__);
        return -2;
    }
    const int size = RSA_size(rsa);
    RSA* key = const_cast<RSA*>(rsa);
    int result = 0;
    if (type == NID_md5_sha1) {
        // The SSL-style MD5+SHA-1 concatenation is signed without a DigestInfo.
        if (mLen != 36 || 36 + RSA_PKCS1_PADDING_SIZE > size) {
            RecordError(kFuncSign, kBadMd5Sha1, __LINE__);
            return 0;
        }
        result = PrivEnc(36, m, sigret, key, RSA_PKCS1_PADDING);
    } else {
        const std::optional<tessivo::HashAlgorithm> algorithm = HashOfNid(type);
        const std::vector<std::uint8_t> encoded =
            algorithm ? tessivo::DigestInfo(*algorithm, std::vector<std::uint8_t>(m, m + mLen))
                      : std::vector<std::uint8_t>();
        const auto encLen = static_cast<int>(encoded.size());
        if (encoded.empty() || encLen + RSA_PKCS1_PADDING_SIZE > size) {
            RecordError(kFuncSign, kBadDigestInfo, __LINE__);
            return 0;
        }
        result = PrivEnc(encLen, encoded.data(), sigret, key, RSA_PKCS1_PADDING);
    }
    if (result <= 0) {
        return 0;
    }
    *siglen = static_cast<unsigned int>(result);
    return 1;
}

// Verification needs only the public key: it runs in software on a plain copy of n and e, so
// that RSA_verify there cannot come back into this method.
int Verify(int type, const unsigned char* m, unsigned int mLen, const unsigned char* sig,
           unsigned int sigLen, const RSA* rsa) {
    const BIGNUM* n = RSA_get0_n(rsa);
    const BIGNUM* e = RSA_get0_e(rsa);
    if (n == nullptr || e == nullptr) {
        RecordError(kFuncVerify, kNoVerifyKey, __LINE__);
        return 0;
    }
    RsaPtr pub(RSA_new_method(nullptr));
    BnPtr nCopy(BN_dup(n));
    BnPtr eCopy(BN_dup(e));
    if (!pub || !nCopy || !eCopy || RSA_set_method(pub.get(), RSA_PKCS1_OpenSSL()) != 1 ||
        RSA_set0_key(pub.get(), nCopy.get(), eCopy.get(), nullptr) != 1) {
        RecordError(kFuncVerify, kNoVerifyKey, __LINE__);
        return 0;
    }
    // The key owns them now.
    (void)nCopy.release();
    (void)eCopy.release();
    return RSA_verify(type, m, mLen, sig, sigLen, pub.get());
}

RSA_METHOD* MakeMethod() {
    RSA_METHOD* meth = RSA_meth_dup(RSA_get_default_method());
    if (meth == nullptr) {
        return nullptr;
    }
    RSA_meth_set1_name(meth, "PKCS#11 card RSA");
    RSA_meth_set_priv_enc(meth, PrivEnc);
    RSA_meth_set_priv_dec(meth, PrivDec);
    RSA_meth_set_sign(meth, Sign);
    RSA_meth_set_verify(meth, Verify);
    return meth;
}

} // namespace

const RSA_METHOD* p11_rsa_method() noexcept {
    // One table for the whole process, shared by every card key and never changed.
    static RSA_METHOD* const method = MakeMethod();
    return method;
}

EVP_PKEY* p11_key_to_evp(const PKCS11_MODULE* module, const PKCS11_SESSION* session,
                         std::uint32_t key) noexcept {
    const RSA_METHOD* method = p11_rsa_method();
    CK_SESSION_HANDLE sessionHandle = 0;
    CK_OBJECT_HANDLE keyHandle = 0;
    p11detail::Call call(module);
    call.Require(method != nullptr && BindingIndex() >= 0)
        .Session(session, sessionHandle)
        .Object(session, key, keyHandle);
    if (!call) {
        return nullptr;
    }
    BnPtr n(p11_get_attr_bn(module, session, key, CKA_MODULUS));
    BnPtr e(p11_get_attr_bn(module, session, key, CKA_PUBLIC_EXPONENT));
    // OpenSSL 3 cannot size or use an RSA key without both numbers.
    if (!n || !e || BN_is_zero(n.get())) {
        return nullptr;
    }
    RsaPtr rsa(RSA_new());
    PkeyPtr pkey(EVP_PKEY_new());
    if (!rsa || !pkey) {
        return nullptr;
    }
    // OpenSSL 3 calls a method only if it is on the RSA before the RSA goes into the EVP_PKEY.
    if (RSA_set_method(rsa.get(), method) != 1 ||
        RSA_set0_key(rsa.get(), n.get(), e.get(), nullptr) != 1) {
        return nullptr;
    }
    // The key owns them now.
    (void)n.release();
    (void)e.release();
    auto* binding =
        new (std::nothrow) PKCS11_KEY_BINDING{call.Functions(), sessionHandle, keyHandle, nullptr};
    if (binding == nullptr) {
        return nullptr;
    }
    const std::vector<CK_OBJECT_HANDLE>& perUse = session->perUseKeys;
    if (std::find(perUse.begin(), perUse.end(), keyHandle) != perUse.end()) {
        binding->contextPin = session->contextPin;
    }
    if (RSA_set_ex_data(rsa.get(), BindingIndex(), binding) != 1) {
        delete binding;
        return nullptr;
    }
    if (EVP_PKEY_set1_RSA(pkey.get(), rsa.get()) != 1) {
        return nullptr;
    }
    return pkey.release();
}
