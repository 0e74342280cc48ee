// Helpers shared by the certificate field and extension units: owning wrappers for the OpenSSL
// objects only they use, the copy-out convention and object identifier texts.
#pragma once

#include "vantrel.h"

#include "openssl_owned.h"
#include "token/VantrelBasic.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vantrel_cert {

// The owners of OpenSSL objects are the shared ones.
using namespace ossl;

inline X509* AsX509(VR_CERT cert) {
    return static_cast<X509*>(cert);
}

using vantrel::Fault;
using vantrel::Status;

// The copy-out convention: the length word always receives the result's length; the bytes are
// copied only into a buffer that exists and is large enough.
inline Status CopyBytes(const void* data, std::size_t size, void* buf, std::int32_t* len) {
    if (len == nullptr) {
        return Status::Fail(Fault::Argument, "length");
    }
    if (size > static_cast<std::size_t>(INT32_MAX)) {
        return Status::Fail(Fault::BufferTooSmall, "result beyond 32 bits");
    }
    const std::int32_t capacity = *len;
    *len = static_cast<std::int32_t>(size);
    if (buf == nullptr || capacity < 0 || static_cast<std::size_t>(capacity) < size) {
        return Status::Fail(Fault::BufferTooSmall, "result");
    }
    if (size != 0) {
        std::memcpy(buf, data, size);
    }
    return Status::Done();
}

inline Status CopyBytes(const ASN1_STRING* s, void* buf, std::int32_t* len) {
    return CopyBytes(ASN1_STRING_get0_data(s), static_cast<std::size_t>(ASN1_STRING_length(s)), buf,
                     len);
}

// A text and its terminating zero into the caller's buffer; the length word receives the text's
// length without the zero, whether or not the buffer has room.
inline Status CopyText(const std::string& text, char* buf, std::int32_t* len) {
    const auto n = static_cast<std::int32_t>(text.size());
    const std::int32_t capacity = *len;
    *len = n;
    if (buf == nullptr || capacity <= n) {
        return Status::Fail(Fault::BufferTooSmall, "text");
    }
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return Status::Done();
}

// Dotted decimal text of an identifier, whatever its length; empty when it cannot be printed.
inline std::string ObjectText(const ASN1_OBJECT* obj) {
    if (obj == nullptr) {
        return {};
    }
    const int n = OBJ_obj2txt(nullptr, 0, obj, 1);
    if (n <= 0) {
        return {};
    }
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    OBJ_obj2txt(&text[0], n + 1, obj, 1);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// An identifier from dotted decimal text only (names are not accepted); null when not one.
inline ObjectPtr ObjectFromText(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return ObjectPtr(OBJ_txt2obj(text, 1));
}

} // namespace vantrel_cert
