// Key and certificate objects on an open session.
#include "p11/p11_key.h"

#include <climits>
#include <cstring>
#include <new>

#include "p11/p11_internal.h"

using p11detail::Call;
using p11detail::Fail;
using p11detail::Rv;
using tessivo::Fault;
using tessivo::Status;

namespace p11detail {

Status ReadAttribute(const Call& call, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                     CK_ATTRIBUTE_TYPE type, std::vector<unsigned char>& value) {
    // Nothing a card holds comes near this; a larger claim is a broken module.
    constexpr CK_ULONG kLimit = 16u * 1024u * 1024u;
    constexpr const char* kStep = "C_GetAttributeValue";
    value.clear();
    CK_ATTRIBUTE attr{type, nullptr, 0};
    Status status = call.Run(&CK_FUNCTION_LIST::C_GetAttributeValue, kStep, session, object, &attr,
                             CK_ULONG{1});
    if (!status.Ok()) {
        return status;
    }
    if (attr.ulValueLen == CK_UNAVAILABLE_INFORMATION || attr.ulValueLen > kLimit) {
        return Fail(Fault::BrokenModule, "attribute length", CKR_FUNCTION_FAILED);
    }
    try {
        value.resize(attr.ulValueLen);
    } catch (const std::bad_alloc&) {
        return Fail(Fault::Memory, "attribute value", CKR_HOST_MEMORY);
    }
    const CK_ULONG capacity = attr.ulValueLen;
    attr.pValue = value.data();
    status = call.Run(&CK_FUNCTION_LIST::C_GetAttributeValue, kStep, session, object, &attr,
                      CK_ULONG{1});
    if (status.Ok() && attr.ulValueLen > capacity) {
        status = Fail(Fault::BrokenModule, "attribute grew", CKR_FUNCTION_FAILED);
    }
    if (!status.Ok()) {
        value.clear();
        return status;
    }
    value.resize(attr.ulValueLen);
    return status;
}

} // namespace p11detail

namespace {

using p11detail::ReadAttribute;

bool IsKeyClass(std::uint32_t keyClass) {
    return keyClass == CKO_PUBLIC_KEY || keyClass == CKO_PRIVATE_KEY;
}

// CKA_ID into a record's fixed field; an id that cannot be read or does not fit is stored as
// empty, so the stored length never exceeds the field.
void StoreId(const Call& call, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
             unsigned char (&id)[P11_ID_MAX], std::uint32_t& idLen) {
    std::memset(id, 0, sizeof id);
    idLen = 0;
    std::vector<unsigned char> value;
    if (ReadAttribute(call, session, object, CKA_ID, value).Ok() && value.size() <= P11_ID_MAX) {
        std::memcpy(id, value.data(), value.size());
        idLen = static_cast<std::uint32_t>(value.size());
    }
}

// An object found on the session: the module's handles to read it with, and the ids the
// records keep.
struct Found {
    CK_SESSION_HANDLE session;
    CK_OBJECT_HANDLE object;
    std::uint32_t sessionId;
    std::uint32_t objectId;
};

void FillKey(const Call& call, const Found& found, std::uint32_t keyClass, PKCS11_KEY_OBJ& key) {
    key.session = found.sessionId;
    key.object = found.objectId;
    key.keyClass = keyClass;
    StoreId(call, found.session, found.object, key.id, key.idLen);
}

void FillCert(const Call& call, const Found& found, PKCS11_CERT_OBJ& cert) {
    cert.session = found.sessionId;
    cert.object = found.objectId;
    StoreId(call, found.session, found.object, cert.id, cert.idLen);
    ReadAttribute(call, found.session, found.object, CKA_VALUE, cert.value);
}

// Runs one search for the objects of a class and calls fill(index, object) for each object with
// index < capacity. Counts every object found into `found`.
template <typename Fill>
Status Search(Call call, PKCS11_SESSION* record, CK_OBJECT_CLASS cls, std::uint32_t capacity,
              std::uint32_t& found, Fill fill) {
    found = 0;
    CK_SESSION_HANDLE session = 0;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
    call.Session(record, session);
    Status status = call.Run(&CK_FUNCTION_LIST::C_FindObjectsInit, "C_FindObjectsInit", session,
                             tmpl, CK_ULONG{1});
    if (!status.Ok()) {
        return status;
    }
    bool outOfIds = false;
    for (;;) {
        CK_OBJECT_HANDLE handle = 0;
        CK_ULONG got = 0;
        status = call.Run(&CK_FUNCTION_LIST::C_FindObjects, "C_FindObjects", session, &handle,
                          CK_ULONG{1}, &got);
        if (!status.Ok()) {
            // End the search all the same, or the session refuses the next one.
            call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session);
            return status;
        }
        if (got == 0) {
            break;
        }
        if (found < capacity) {
            const std::uint32_t id = record->objectIds.IdOf(handle);
            if (id == 0) {
                outOfIds = true;
            } else {
                fill(found, Found{session, handle, record->handle, id});
            }
        }
        ++found;
    }
    status = call.Run(&CK_FUNCTION_LIST::C_FindObjectsFinal, "C_FindObjectsFinal", session);
    if (!status.Ok()) {
        return status;
    }
    return outOfIds ? Fail(Fault::Memory, "object id", CKR_HOST_MEMORY) : status;
}

// The first object of a class with the id; `found` false when none matches. The search is left
// active for the caller to end with C_FindObjectsFinal on `object.session`.
Status FindFirst(Call call, PKCS11_SESSION* record, CK_OBJECT_CLASS cls, const unsigned char* id,
                 std::uint32_t idLen, bool& found, Found& object) {
    found = false;
    CK_SESSION_HANDLE session = 0;
    if (!call.Session(record, session)) {
        return call.Outcome();
    }
    object.session = session;
    CK_ATTRIBUTE tmpl[] = {{CKA_ID, const_cast<unsigned char*>(id), idLen},
                           {CKA_CLASS, &cls, sizeof cls}};
    Status status = call.Run(&CK_FUNCTION_LIST::C_FindObjectsInit, "C_FindObjectsInit", session,
                             tmpl, CK_ULONG{2});
    if (!status.Ok()) {
        return status;
    }
    CK_OBJECT_HANDLE h = 0;
    CK_ULONG got = 0;
    status =
        call.Run(&CK_FUNCTION_LIST::C_FindObjects, "C_FindObjects", session, &h, CK_ULONG{1}, &got);
    if (!status.Ok()) {
        call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session);
        return status;
    }
    if (got != 0) {
        object.object = h;
        object.sessionId = record->handle;
        object.objectId = record->objectIds.IdOf(h);
        if (object.objectId == 0) {
            call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session);
            return Fail(Fault::Memory, "object id", CKR_HOST_MEMORY);
        }
    }
    found = got != 0;
    return status;
}

// The objects of a class into the records of `objects` (null: count only); `count` is the
// capacity in and the number found out, as p11_enum_keys describes.
template <typename Obj, typename Fill>
Status ListByClass(const Call& call, PKCS11_SESSION* session, CK_OBJECT_CLASS cls, Obj* objects,
                   std::uint32_t* count, Fill fill) {
    const std::uint32_t capacity = objects != nullptr ? *count : 0;
    std::uint32_t found = 0;
    const Status status = Search(call, session, cls, capacity, found,
                                 [&](std::uint32_t i, const Found& o) { fill(objects[i], o); });
    if (!status.Ok()) {
        return status;
    }
    *count = found;
    return objects != nullptr && found > capacity
               ? Fail(Fault::BufferTooSmall, "object list", CKR_BUFFER_TOO_SMALL)
               : status;
}

bool IdArgumentsOk(const unsigned char* id, std::uint32_t idLen) {
    return idLen <= P11_ID_MAX && (id != nullptr || idLen == 0);
}

// An id the caller searched by, already checked against the field's size.
void CopyGivenId(const unsigned char* id, std::uint32_t idLen, unsigned char (&field)[P11_ID_MAX],
                 std::uint32_t& fieldLen) {
    if (idLen != 0) {
        std::memcpy(field, id, idLen);
    }
    fieldLen = idLen;
}

} // namespace

P11_RV p11_enum_keys(const PKCS11_MODULE* module, PKCS11_SESSION* session, std::uint32_t keyClass,
                     PKCS11_KEY_OBJ* keys, std::uint32_t* count) noexcept {
    Call call(module);
    if (!call.Require(IsKeyClass(keyClass) && count != nullptr)) {
        return call.Result();
    }
    return Rv(
        ListByClass(call, session, keyClass, keys, count,
                    [&](PKCS11_KEY_OBJ& key, const Found& o) { FillKey(call, o, keyClass, key); }));
}

P11_RV p11_enum_certs(const PKCS11_MODULE* module, PKCS11_SESSION* session, PKCS11_CERT_OBJ* certs,
                      std::uint32_t* count) noexcept {
    // Certificates without a module are refused as a bad argument, the code callers know here.
    Call call(module, CKR_ARGUMENTS_BAD);
    if (!call.Require(count != nullptr)) {
        return call.Result();
    }
    return Rv(ListByClass(call, session, CKO_CERTIFICATE, certs, count,
                          [&](PKCS11_CERT_OBJ& cert, const Found& o) { FillCert(call, o, cert); }));
}

P11_RV p11_find_key(const PKCS11_MODULE* module, PKCS11_SESSION* session, std::uint32_t keyClass,
                    const unsigned char* id, std::uint32_t idLen, PKCS11_KEY_OBJ** out) noexcept {
    if (out == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *out = nullptr;
    Call call(module);
    if (!call.Require(IsKeyClass(keyClass) && IdArgumentsOk(id, idLen))) {
        return call.Result();
    }
    bool found = false;
    Found object{};
    const Status status = FindFirst(call, session, keyClass, id, idLen, found, object);
    if (!status.Ok()) {
        return Rv(status);
    }
    if (found) {
        auto* key = new (std::nothrow) PKCS11_KEY_OBJ{};
        if (key == nullptr) {
            call(&CK_FUNCTION_LIST::C_FindObjectsFinal, object.session);
            return CKR_HOST_MEMORY;
        }
        *out = key;
        key->session = object.sessionId;
        key->object = object.objectId;
        key->keyClass = keyClass;
        CopyGivenId(id, idLen, key->id, key->idLen);
    }
    return call(&CK_FUNCTION_LIST::C_FindObjectsFinal, object.session);
}

P11_RV p11_find_cert(const PKCS11_MODULE* module, PKCS11_SESSION* session, const unsigned char* id,
                     std::uint32_t idLen, PKCS11_CERT_OBJ** out) noexcept {
    if (out == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *out = nullptr;
    // As for the certificate list, no module is a bad argument here.
    Call call(module, CKR_ARGUMENTS_BAD);
    if (!call.Require(IdArgumentsOk(id, idLen))) {
        return call.Result();
    }
    bool found = false;
    Found object{};
    const Status status = FindFirst(call, session, CKO_CERTIFICATE, id, idLen, found, object);
    if (!status.Ok()) {
        return Rv(status);
    }
    if (found) {
        auto* cert = new (std::nothrow) PKCS11_CERT_OBJ{};
        if (cert == nullptr) {
            call(&CK_FUNCTION_LIST::C_FindObjectsFinal, object.session);
            return CKR_HOST_MEMORY;
        }
        *out = cert;
        cert->session = object.sessionId;
        cert->object = object.objectId;
        CopyGivenId(id, idLen, cert->id, cert->idLen);
        const Status value =
            ReadAttribute(call, object.session, object.object, CKA_VALUE, cert->value);
        if (!value.Ok()) {
            call(&CK_FUNCTION_LIST::C_FindObjectsFinal, object.session);
            return Rv(value);
        }
    }
    return call(&CK_FUNCTION_LIST::C_FindObjectsFinal, object.session);
}

void p11_free_key_obj(PKCS11_KEY_OBJ* key) noexcept {
    delete key;
}

void p11_free_cert_obj(PKCS11_CERT_OBJ* cert) noexcept {
    delete cert;
}

X509* p11_cert_to_x509(const PKCS11_CERT_OBJ* cert) noexcept {
    if (cert == nullptr || cert->value.empty() || cert->value.size() > LONG_MAX) {
        return nullptr;
    }
    const unsigned char* p = cert->value.data();
    return d2i_X509(nullptr, &p, static_cast<long>(cert->value.size()));
}

BIGNUM* p11_get_attr_bn(const PKCS11_MODULE* module, const PKCS11_SESSION* session,
                        std::uint32_t object, CK_ATTRIBUTE_TYPE type) noexcept {
    CK_SESSION_HANDLE sessionHandle = 0;
    CK_OBJECT_HANDLE objectHandle = 0;
    Call call(module);
    if (!call.Session(session, sessionHandle).Object(session, object, objectHandle)) {
        return nullptr;
    }
    // The number's buffer holds 1,024 bytes (an 8,192-bit modulus); a longer value is refused.
    constexpr std::size_t kNumberMax = 1024;
    std::vector<unsigned char> value;
    if (!ReadAttribute(call, sessionHandle, objectHandle, type, value).Ok() ||
        value.size() > kNumberMax) {
        return nullptr;
    }
    return BN_bin2bn(value.data(), static_cast<int>(value.size()), nullptr);
}
