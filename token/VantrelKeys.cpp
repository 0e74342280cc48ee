// Keys and certificates on the token: listing them by CKA_ID, fetching them as OpenSSL objects,
// and finding the signature and encipherment objects by id or by key usage.
#include "vantrel.h"

#include "p11/p11_key.h"
#include "openssl_owned.h"
#include "token/VantrelBasic.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr unsigned char kSignId[] = {'S', 'I', 'G', 'N'};
constexpr unsigned char kKeyxId[] = {'K', 'E', 'Y', 'X'};
constexpr std::uint32_t kWellKnownIdLen = 4;
constexpr unsigned char kKuSignature = 0x80;
constexpr unsigned char kKuEncipherment = 0x30;
constexpr std::uint32_t kFirstArraySize = 10;
// GetKeyID/GetCertID answer a short buffer with the bare PKCS#11 value, without a family.
constexpr VR_RESULT kBareBufferTooSmall = CKR_BUFFER_TOO_SMALL;

using vantrel::Basic;

// The binding's records are released like the OpenSSL objects: by their own free call.
using KeyObjPtr = ossl::Owned<PKCS11_KEY_OBJ, p11_free_key_obj>;
using CertObjPtr = ossl::Owned<PKCS11_CERT_OBJ, p11_free_cert_obj>;
using ossl::X509Ptr;

// The common start of every function on the token: a loaded module and a session.
VR_RESULT CheckSession(const PKCS11* p11) {
    if (!p11) {
        return BASIC_ARGUMENTS_BAD;
    }
    if (!p11->module) {
        return BASIC_MODULE_NOT_LOADED;
    }
    if (!p11->session) {
        return BASIC_USER_NOT_LOGGED_IN;
    }
    return OK;
}

PKCS11_SESSION* SessionOf(const PKCS11* p11) {
    return p11->session;
}

P11_RV EnumObjects(const PKCS11* p11, PKCS11_KEY_OBJ* keys, std::uint32_t* count) {
    return p11_enum_keys(p11->module, SessionOf(p11), CKO_PRIVATE_KEY, keys, count);
}

P11_RV EnumObjects(const PKCS11* p11, PKCS11_CERT_OBJ* certs, std::uint32_t* count) {
    return p11_enum_certs(p11->module, SessionOf(p11), certs, count);
}

template <class Obj> VR_RESULT CountObjects(PKCS11* p11, std::uint32_t* count) {
    if (VR_RESULT rc = CheckSession(p11)) {
        return rc;
    }
    if (!count) {
        return BASIC_ARGUMENTS_BAD;
    }
    std::uint32_t found = 0;
    if (P11_RV rv = EnumObjects(p11, static_cast<Obj*>(nullptr), &found)) {
        return Basic(rv);
    }
    *count = found;
    return OK;
}

// Lists the token's objects into `objs`: room for 10 first, then for as many as the module
// reported. `objs` ends up holding exactly the records found.
template <class Obj> VR_RESULT ListObjects(const PKCS11* p11, std::vector<Obj>& objs) {
    try {
        objs.assign(kFirstArraySize, Obj{});
        std::uint32_t count = kFirstArraySize;
        P11_RV rv = EnumObjects(p11, objs.data(), &count);
        if (rv == CKR_BUFFER_TOO_SMALL) {
            objs = std::vector<Obj>(count);
            rv = EnumObjects(p11, objs.data(), &count);
        }
        if (rv != CKR_OK) {
            return Basic(rv);
        }
        objs.resize(std::min<std::size_t>(count, objs.size()));
        return OK;
    } catch (const std::bad_alloc&) {
        return BASIC_MALLOC_ERROR;
    }
}

// Copies an id out: the bytes when they fit, a terminator too when there is room for it.
VR_RESULT CopyId(const unsigned char* id, std::uint32_t idLen, unsigned char* buf,
                 std::uint32_t* len) {
    // A record never holds more than its id field, whatever length the module reported.
    const std::uint32_t n = std::min(idLen, P11_ID_MAX);
    const std::uint32_t capacity = *len;
    *len = n;
    if (!buf || capacity < n) {
        return kBareBufferTooSmall;
    }
    std::memcpy(buf, id, n);
    if (capacity > n) {
        buf[n] = 0;
    }
    return OK;
}

template <class Obj>
VR_RESULT ObjectId(PKCS11* p11, std::uint32_t index, unsigned char* buf, std::uint32_t* len) {
    if (VR_RESULT rc = CheckSession(p11)) {
        return rc;
    }
    if (!len) {
        return BASIC_ARGUMENTS_BAD;
    }
    std::vector<Obj> objs;
    if (VR_RESULT rc = ListObjects(p11, objs)) {
        return rc;
    }
    if (index >= objs.size()) {
        return BASIC_INDEX_ERROR;
    }
    return CopyId(objs[index].id, objs[index].idLen, buf, len);
}

VR_RESULT CheckFetch(PKCS11* p11, const unsigned char* id, std::uint32_t idLen, void** out) {
    if (out) {
        *out = nullptr;
    }
    if (VR_RESULT rc = CheckSession(p11)) {
        return rc;
    }
    if (!out || (!id && idLen > 0)) {
        return BASIC_ARGUMENTS_BAD;
    }
    return OK;
}

// Walks the certificates in the module's order and hands back the first whose key-usage byte is
// exactly `keyUsage`, with its id.
VR_RESULT FindCertByKU(PKCS11* p11, unsigned char keyUsage, X509Ptr& match,
                       std::vector<unsigned char>& matchId) {
    std::uint32_t count = 0;
    if (VR_RESULT rc = GetCertNum(p11, &count)) {
        return rc;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        unsigned char id[P11_ID_MAX];
        std::uint32_t idLen = sizeof id;
        if (VR_RESULT rc = GetCertID(p11, i, id, &idLen)) {
            return rc;
        }
        void* raw = nullptr;
        if (VR_RESULT rc = GetCert(p11, id, idLen, &raw)) {
            return rc;
        }
        X509Ptr cert(static_cast<X509*>(raw));
        unsigned char usage = 0;
        std::int32_t usageLen = 1;
        if (GetKeyUsage(cert.get(), &usage, &usageLen) == OK && usage == keyUsage) {
            match = std::move(cert);
            matchId.assign(id, id + idLen);
            return OK;
        }
    }
    return BASIC_OBJECT_NOT_FOUND;
}

} // namespace

VANTREL_API VR_RESULT GetKeyNum(PKCS11* p11, std::uint32_t* count) {
    return CountObjects<PKCS11_KEY_OBJ>(p11, count);
}

VANTREL_API VR_RESULT GetCertNum(PKCS11* p11, std::uint32_t* count) {
    return CountObjects<PKCS11_CERT_OBJ>(p11, count);
}

VANTREL_API VR_RESULT GetKeyID(PKCS11* p11, std::uint32_t index, unsigned char* buf,
                               std::uint32_t* len) {
    return ObjectId<PKCS11_KEY_OBJ>(p11, index, buf, len);
}

VANTREL_API VR_RESULT GetCertID(PKCS11* p11, std::uint32_t index, unsigned char* buf,
                                std::uint32_t* len) {
    return ObjectId<PKCS11_CERT_OBJ>(p11, index, buf, len);
}

VANTREL_API VR_RESULT GetKey(PKCS11* p11, const unsigned char* id, std::uint32_t idLen,
                             VR_KEY* key) {
    if (VR_RESULT rc = CheckFetch(p11, id, idLen, key)) {
        return rc;
    }
    PKCS11_KEY_OBJ* raw = nullptr;
    P11_RV rv = p11_find_key(p11->module, SessionOf(p11), CKO_PRIVATE_KEY, id, idLen, &raw);
    KeyObjPtr obj(raw);
    if (rv != CKR_OK) {
        return Basic(rv);
    }
    if (!obj) {
        return BASIC_OBJECT_NOT_FOUND;
    }
    EVP_PKEY* pkey = p11_key_to_evp(p11->module, SessionOf(p11), obj->object);
    if (!pkey) {
        return BASIC_CONVERT_ERROR;
    }
    *key = pkey;
    return OK;
}

VANTREL_API VR_RESULT GetCert(PKCS11* p11, const unsigned char* id, std::uint32_t idLen,
                              VR_CERT* cert) {
    if (VR_RESULT rc = CheckFetch(p11, id, idLen, cert)) {
        return rc;
    }
    PKCS11_CERT_OBJ* raw = nullptr;
    P11_RV rv = p11_find_cert(p11->module, SessionOf(p11), id, idLen, &raw);
    CertObjPtr obj(raw);
    if (rv != CKR_OK) {
        return Basic(rv);
    }
    if (!obj) {
        return BASIC_OBJECT_NOT_FOUND;
    }
    X509* x509 = p11_cert_to_x509(obj.get());
    if (!x509) {
        return BASIC_CONVERT_ERROR;
    }
    *cert = x509;
    return OK;
}

VANTREL_API VR_RESULT FreeKey(VR_KEY key) {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(key));
    return OK;
}

namespace {

// The certificate of a key usage and its CKA_ID for the exported lookups, whose output is
// cleared first.
VR_RESULT FindForKU(PKCS11* p11, void** out, unsigned char keyUsage, X509Ptr& match,
                    std::vector<unsigned char>& id) {
    if (!out) {
        return BASIC_ARGUMENTS_BAD;
    }
    *out = nullptr;
    return FindCertByKU(p11, keyUsage, match, id);
}

} // namespace

VANTREL_CPP_API VR_RESULT GetCertByKU(PKCS11* p11, void** cert, unsigned char keyUsage) {
    X509Ptr match;
    std::vector<unsigned char> id;
    if (VR_RESULT rc = FindForKU(p11, cert, keyUsage, match, id)) {
        return rc;
    }
    *cert = match.release();
    return OK;
}

VANTREL_CPP_API VR_RESULT GetKeyByKU(PKCS11* p11, void** key, unsigned char keyUsage) {
    X509Ptr match;
    std::vector<unsigned char> id;
    if (VR_RESULT rc = FindForKU(p11, key, keyUsage, match, id)) {
        return rc;
    }
    return GetKey(p11, id.data(), static_cast<std::uint32_t>(id.size()), key);
}

namespace {

using ByIdLookup = VR_RESULT (*)(PKCS11*, const unsigned char*, std::uint32_t, void**);
using ByKeyUsageLookup = VR_RESULT (*)(PKCS11*, void**, unsigned char);

// A card's certificate or key by its well-known CKA_ID; on a card that names them otherwise, the
// first whose certificate has exactly the key usage.
VR_RESULT ByIdOrKeyUsage(PKCS11* p11, void** out, ByIdLookup byId, const unsigned char* id,
                         ByKeyUsageLookup byKeyUsage, unsigned char keyUsage) {
    if (byId(p11, id, kWellKnownIdLen, out) == OK) {
        return OK;
    }
    return byKeyUsage(p11, out, keyUsage);
}

} // namespace

VANTREL_API VR_RESULT GetSignatureCert(PKCS11* p11, VR_CERT* cert) {
    return ByIdOrKeyUsage(p11, cert, GetCert, kSignId, GetCertByKU, kKuSignature);
}

VANTREL_API VR_RESULT GetEnciphermentCert(PKCS11* p11, VR_CERT* cert) {
    return ByIdOrKeyUsage(p11, cert, GetCert, kKeyxId, GetCertByKU, kKuEncipherment);
}

VANTREL_API VR_RESULT GetSignatureKey(PKCS11* p11, VR_KEY* key) {
    return ByIdOrKeyUsage(p11, key, GetKey, kSignId, GetKeyByKU, kKuSignature);
}

VANTREL_API VR_RESULT GetEnciphermentKey(PKCS11* p11, VR_KEY* key) {
    return ByIdOrKeyUsage(p11, key, GetKey, kKeyxId, GetKeyByKU, kKuEncipherment);
}
