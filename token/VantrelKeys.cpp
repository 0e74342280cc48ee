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

using vantrel::Family;
using vantrel::Fault;
using vantrel::Status;
using vantrel::ToResult;

// The binding's records are released like the OpenSSL objects: by their own free call.
using KeyObjPtr = ossl::Owned<PKCS11_KEY_OBJ, p11_free_key_obj>;
using CertObjPtr = ossl::Owned<PKCS11_CERT_OBJ, p11_free_cert_obj>;
using ossl::X509Ptr;

// The common start of every function on the token: a loaded module and a session.
Status CheckSession(const PKCS11* p11) {
    if (!p11) {
        return Status::Fail(Fault::Argument, "record");
    }
    if (!p11->module) {
        return Status::Fail(Fault::NoModule, "module");
    }
    if (!p11->session) {
        return Status::Fail(Fault::NotLoggedIn, "session");
    }
    return Status::Done();
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

template <class Obj> Status CountObjects(PKCS11* p11, std::uint32_t* count) {
    if (Status checked = CheckSession(p11); !checked.Ok()) {
        return checked;
    }
    if (!count) {
        return Status::Fail(Fault::Argument, "count");
    }
    std::uint32_t found = 0;
    if (P11_RV rv = EnumObjects(p11, static_cast<Obj*>(nullptr), &found)) {
        return Status::FromRv(rv, "count objects");
    }
    *count = found;
    return Status::Done();
}

// Lists the token's objects into `objs`: room for 10 first, then for as many as the module
// reported. `objs` ends up holding exactly the records found.
template <class Obj> Status ListObjects(const PKCS11* p11, std::vector<Obj>& objs) {
    try {
        objs.assign(kFirstArraySize, Obj{});
        std::uint32_t count = kFirstArraySize;
        P11_RV rv = EnumObjects(p11, objs.data(), &count);
        if (rv == CKR_BUFFER_TOO_SMALL) {
            objs = std::vector<Obj>(count);
            rv = EnumObjects(p11, objs.data(), &count);
        }
        if (rv != CKR_OK) {
            return Status::FromRv(rv, "list objects");
        }
        objs.resize(std::min<std::size_t>(count, objs.size()));
        return Status::Done();
    } catch (const std::bad_alloc&) {
        return Status::Fail(Fault::Memory, "object list");
    }
}

// Copies an id out: the bytes when they fit, a terminator too when there is room for it.
Status CopyId(const unsigned char* id, std::uint32_t idLen, unsigned char* buf,
              std::uint32_t* len) {
    // A record never holds more than its id field, whatever length the module reported.
    const std::uint32_t n = std::min(idLen, P11_ID_MAX);
    const std::uint32_t capacity = *len;
    *len = n;
    if (!buf || capacity < n) {
        return Status::Fail(Fault::BufferTooSmall, "object id");
    }
    std::memcpy(buf, id, n);
    if (capacity > n) {
        buf[n] = 0;
    }
    return Status::Done();
}

template <class Obj>
Status ObjectId(PKCS11* p11, std::uint32_t index, unsigned char* buf, std::uint32_t* len) {
    if (Status checked = CheckSession(p11); !checked.Ok()) {
        return checked;
    }
    if (!len) {
        return Status::Fail(Fault::Argument, "length");
    }
    std::vector<Obj> objs;
    if (Status listed = ListObjects(p11, objs); !listed.Ok()) {
        return listed;
    }
    if (index >= objs.size()) {
        return Status::Fail(Fault::Index, "object index");
    }
    return CopyId(objs[index].id, objs[index].idLen, buf, len);
}

Status CheckFetch(PKCS11* p11, const unsigned char* id, std::uint32_t idLen, void** out) {
    if (out) {
        *out = nullptr;
    }
    if (Status checked = CheckSession(p11); !checked.Ok()) {
        return checked;
    }
    if (!out || (!id && idLen > 0)) {
        return Status::Fail(Fault::Argument, "object id");
    }
    return Status::Done();
}

Status FetchKey(PKCS11* p11, const unsigned char* id, std::uint32_t idLen, VR_KEY* key) {
    if (Status checked = CheckFetch(p11, id, idLen, key); !checked.Ok()) {
        return checked;
    }
    PKCS11_KEY_OBJ* raw = nullptr;
    P11_RV rv = p11_find_key(p11->module, SessionOf(p11), CKO_PRIVATE_KEY, id, idLen, &raw);
    KeyObjPtr obj(raw);
    if (rv != CKR_OK) {
        return Status::FromRv(rv, "find key");
    }
    if (!obj) {
        return Status::Fail(Fault::NotFound, "key");
    }
    EVP_PKEY* pkey = p11_key_to_evp(p11->module, SessionOf(p11), obj->object);
    if (!pkey) {
        return Status::Fail(Fault::Convert, "card key");
    }
    *key = pkey;
    return Status::Done();
}

Status FetchCert(PKCS11* p11, const unsigned char* id, std::uint32_t idLen, VR_CERT* cert) {
    if (Status checked = CheckFetch(p11, id, idLen, cert); !checked.Ok()) {
        return checked;
    }
    PKCS11_CERT_OBJ* raw = nullptr;
    P11_RV rv = p11_find_cert(p11->module, SessionOf(p11), id, idLen, &raw);
    CertObjPtr obj(raw);
    if (rv != CKR_OK) {
        return Status::FromRv(rv, "find certificate");
    }
    if (!obj) {
        return Status::Fail(Fault::NotFound, "certificate");
    }
    X509* x509 = p11_cert_to_x509(obj.get());
    if (!x509) {
        return Status::Fail(Fault::Convert, "certificate DER");
    }
    *cert = x509;
    return Status::Done();
}

// Walks the certificates in the module's order and hands back the first whose key-usage byte is
// exactly `keyUsage`, with its id.
Status FindCertByKU(PKCS11* p11, unsigned char keyUsage, X509Ptr& match,
                    std::vector<unsigned char>& matchId) {
    std::uint32_t count = 0;
    if (Status counted = CountObjects<PKCS11_CERT_OBJ>(p11, &count); !counted.Ok()) {
        return counted;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        unsigned char id[P11_ID_MAX];
        std::uint32_t idLen = sizeof id;
        if (Status got = ObjectId<PKCS11_CERT_OBJ>(p11, i, id, &idLen); !got.Ok()) {
            return got;
        }
        void* raw = nullptr;
        if (Status fetched = FetchCert(p11, id, idLen, &raw); !fetched.Ok()) {
            return fetched;
        }
        X509Ptr cert(static_cast<X509*>(raw));
        unsigned char usage = 0;
        std::int32_t usageLen = 1;
        if (GetKeyUsage(cert.get(), &usage, &usageLen) == OK && usage == keyUsage) {
            match = std::move(cert);
            matchId.assign(id, id + idLen);
            return Status::Done();
        }
    }
    return Status::Fail(Fault::NotFound, "certificate by key usage");
}

Status CertByKU(PKCS11* p11, void** cert, unsigned char keyUsage) {
    if (!cert) {
        return Status::Fail(Fault::Argument, "certificate");
    }
    *cert = nullptr;
    X509Ptr match;
    std::vector<unsigned char> id;
    if (Status found = FindCertByKU(p11, keyUsage, match, id); !found.Ok()) {
        return found;
    }
    *cert = match.release();
    return Status::Done();
}

Status KeyByKU(PKCS11* p11, void** key, unsigned char keyUsage) {
    if (!key) {
        return Status::Fail(Fault::Argument, "key");
    }
    *key = nullptr;
    X509Ptr match;
    std::vector<unsigned char> id;
    if (Status found = FindCertByKU(p11, keyUsage, match, id); !found.Ok()) {
        return found;
    }
    return FetchKey(p11, id.data(), static_cast<std::uint32_t>(id.size()), key);
}

// The object under its well-known id, else the first whose certificate has the key usage.
template <typename Fetch, typename ByUsage>
Status WellKnown(Fetch fetch, ByUsage byUsage, PKCS11* p11, const unsigned char* id,
                 unsigned char keyUsage, void** out) {
    if (fetch(p11, id, kWellKnownIdLen, out).Ok()) {
        return Status::Done();
    }
    return byUsage(p11, out, keyUsage);
}

} // namespace

VANTREL_API VR_RESULT GetKeyNum(PKCS11* p11, std::uint32_t* count) {
    return ToResult(CountObjects<PKCS11_KEY_OBJ>(p11, count));
}

VANTREL_API VR_RESULT GetCertNum(PKCS11* p11, std::uint32_t* count) {
    return ToResult(CountObjects<PKCS11_CERT_OBJ>(p11, count));
}

VANTREL_API VR_RESULT GetKeyID(PKCS11* p11, std::uint32_t index, unsigned char* buf,
                               std::uint32_t* len) {
    return ToResult(ObjectId<PKCS11_KEY_OBJ>(p11, index, buf, len), Family::BareIds);
}

VANTREL_API VR_RESULT GetCertID(PKCS11* p11, std::uint32_t index, unsigned char* buf,
                                std::uint32_t* len) {
    return ToResult(ObjectId<PKCS11_CERT_OBJ>(p11, index, buf, len), Family::BareIds);
}

VANTREL_API VR_RESULT GetKey(PKCS11* p11, const unsigned char* id, std::uint32_t idLen,
                             VR_KEY* key) {
    return ToResult(FetchKey(p11, id, idLen, key));
}

VANTREL_API VR_RESULT GetCert(PKCS11* p11, const unsigned char* id, std::uint32_t idLen,
                              VR_CERT* cert) {
    return ToResult(FetchCert(p11, id, idLen, cert));
}

VANTREL_API VR_RESULT FreeKey(VR_KEY key) {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(key));
    return OK;
}

VANTREL_CPP_API VR_RESULT GetCertByKU(PKCS11* p11, void** cert, unsigned char keyUsage) {
    return ToResult(CertByKU(p11, cert, keyUsage));
}

VANTREL_CPP_API VR_RESULT GetKeyByKU(PKCS11* p11, void** key, unsigned char keyUsage) {
    return ToResult(KeyByKU(p11, key, keyUsage));
}

VANTREL_API VR_RESULT GetSignatureCert(PKCS11* p11, VR_CERT* cert) {
    return ToResult(WellKnown(FetchCert, CertByKU, p11, kSignId, kKuSignature, cert));
}

VANTREL_API VR_RESULT GetEnciphermentCert(PKCS11* p11, VR_CERT* cert) {
    return ToResult(WellKnown(FetchCert, CertByKU, p11, kKeyxId, kKuEncipherment, cert));
}

VANTREL_API VR_RESULT GetSignatureKey(PKCS11* p11, VR_KEY* key) {
    return ToResult(WellKnown(FetchKey, KeyByKU, p11, kSignId, kKuSignature, key));
}

VANTREL_API VR_RESULT GetEnciphermentKey(PKCS11* p11, VR_KEY* key) {
    return ToResult(WellKnown(FetchKey, KeyByKU, p11, kKeyxId, kKuEncipherment, key));
}
