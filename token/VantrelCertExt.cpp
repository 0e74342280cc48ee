// Certificate extensions: raw values, alternative name, distribution points, key identifiers, key
// usage, authority information access, policies and the subject directory attributes with the
// Taiwan government PKI attributes.
#include "vantrel.h"
#include "token/VantrelCertCommon.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace vantrel_cert;
using vantrel::Family;
using vantrel::ToResult;

namespace {

constexpr char kSubjectAltNameOid[] = "2.5.29.17";
constexpr char kSubjectDirectoryAttributesOid[] = "2.5.29.9";
constexpr char kCaIssuersOid[] = "1.3.6.1.5.5.7.48.2";
constexpr char kOcspOid[] = "1.3.6.1.5.5.7.48.1";

// Work buffers: values longer than these are refused as too long for the buffer.
constexpr std::size_t kAltNameMax = 256;
constexpr std::size_t kDirectoryAttributesMax = 1000;
constexpr std::int32_t kKeyUsageMax = 10;

constexpr unsigned char kDigitalSignature = 0x80;
constexpr unsigned char kEncipherment = 0x30; // keyEncipherment or dataEncipherment

// Decodes an extension by its identity; missing, undecodable or repeated all give null.
template <typename T> T* DecodeExtension(X509* x, int nid) {
    return static_cast<T*>(X509_get_ext_d2i(x, nid, nullptr, nullptr));
}

// Skips one DER tag and length header at pos; false when it does not fit in the value.
bool SkipHeader(const unsigned char* value, std::size_t size, std::size_t& pos) {
    if (pos >= size) {
        return false;
    }
    if ((value[pos++] & 0x1F) == 0x1F) { // tag number in further bytes
        while (pos < size && (value[pos] & 0x80) != 0) {
            ++pos;
        }
        if (pos++ >= size) {
            return false;
        }
    }
    if (pos >= size) {
        return false;
    }
    const unsigned char first = value[pos++];
    if (first < 0x80) {
        return true;
    }
    const std::size_t octets = first & 0x7F;
    if (octets == 0 || octets > 4 || size - pos < octets) {
        return false; // indefinite or absurd length
    }
    pos += octets;
    return true;
}

// The string of a general name that has one (e-mail, DNS name, URI, IP address).
Status CopyGeneralName(const GENERAL_NAME* name, char* buf, std::int32_t* len) {
    int type = 0;
    const void* value = GENERAL_NAME_get0_value(name, &type);
    switch (type) {
    case GEN_EMAIL:
    case GEN_DNS:
    case GEN_URI:
    case GEN_IPADD:
        return CopyBytes(static_cast<const ASN1_STRING*>(value), buf, len);
    default:
        return Status::Fail(Fault::Convert, "general name without a string");
    }
}

// Finds the attribute of the given type in a DER SEQUENCE OF Attribute; null when it is not
// there or the sequence cannot be decoded.
AttributePtr FindAttribute(const unsigned char* der, long size, const ASN1_OBJECT* type) {
    const unsigned char* p = der;
    long contentSize = 0;
    int tag = 0;
    int cls = 0;
    const int info = ASN1_get_object(&p, &contentSize, &tag, &cls, size);
    if ((info & 0x80) != 0 || tag != V_ASN1_SEQUENCE || (info & V_ASN1_CONSTRUCTED) == 0) {
        return nullptr;
    }
    const unsigned char* end = p + contentSize;
    while (p < end) {
        AttributePtr attribute(d2i_X509_ATTRIBUTE(nullptr, &p, end - p));
        if (!attribute) {
            return nullptr;
        }
        if (OBJ_cmp(X509_ATTRIBUTE_get0_object(attribute.get()), type) == 0) {
            return attribute;
        }
    }
    return nullptr;
}

// An INTEGER as a 32-bit little-endian number over a zeroed 4-byte field; length 4 always.
Status CopyIntegerLittleEndian(const ASN1_STRING* integer, char* buf, std::int32_t* len) {
    if (len == nullptr) {
        return Status::Fail(Fault::Argument, "length");
    }
    const unsigned char* bytes = ASN1_STRING_get0_data(integer);
    const int count = ASN1_STRING_length(integer);
    const std::int32_t capacity = *len;
    if (buf == nullptr || capacity < 4 || capacity < count) {
        *len = 4;
        return Status::Fail(Fault::BufferTooSmall, "integer");
    }
    std::memset(buf, 0, 4);
    for (int i = 0; i < count; ++i) {
        buf[i] = static_cast<char>(bytes[count - 1 - i]);
    }
    *len = 4;
    return Status::Done();
}

// The byte forms of an attribute value: a null buf only tests presence.
Status CopyAttributeBytes(const void* data, std::size_t size, char* buf, std::int32_t* len) {
    if (buf == nullptr) {
        return Status::Done();
    }
    return CopyBytes(data, size, buf, len);
}

Status CopyAttributeValue(const ASN1_TYPE* value, char* buf, std::int32_t* len) {
    switch (value->type) {
    case V_ASN1_INTEGER:
    case V_ASN1_NEG_INTEGER:
        return CopyIntegerLittleEndian(value->value.integer, buf, len);
    case V_ASN1_OCTET_STRING:
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING: {
        const ASN1_STRING* s = value->value.asn1_string;
        return CopyAttributeBytes(ASN1_STRING_get0_data(s),
                                  static_cast<std::size_t>(ASN1_STRING_length(s)), buf, len);
    }
    case V_ASN1_OBJECT: {
        const std::string text = ObjectText(value->value.object);
        return CopyAttributeBytes(text.data(), text.size(), buf, len);
    }
    default:
        return Status::Fail(Fault::Unsupported, "attribute value type");
    }
}

// 1 when the first key-usage byte has any of the bits of `mask`; 0 otherwise or without one.
VR_RESULT HasKeyUsage(VR_CERT cert, unsigned char mask) {
    unsigned char usage[kKeyUsageMax] = {};
    std::int32_t size = kKeyUsageMax;
    if (GetKeyUsage(cert, usage, &size) != OK || size < 1) {
        return 0;
    }
    return (usage[0] & mask) != 0 ? 1 : 0;
}

Status ExtensionDer(VR_CERT cert, const char* oid, std::int32_t* critical, unsigned char* buf,
                    std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr || len == nullptr) {
        return Status::Fail(Fault::Argument, "certificate or length");
    }
    const ObjectPtr type = ObjectFromText(oid);
    const int index = type ? X509_get_ext_by_OBJ(x, type.get(), -1) : -1;
    X509_EXTENSION* ext = index >= 0 ? X509_get_ext(x, index) : nullptr;
    if (ext == nullptr) {
        return Status::Fail(Fault::NotFound, "extension");
    }
    if (critical != nullptr) {
        *critical = X509_EXTENSION_get_critical(ext) ? 1 : 0;
    }
    return CopyBytes(X509_EXTENSION_get_data(ext), buf, len);
}

Status SubjectAltName(VR_CERT cert, char* buf, std::int32_t* len) {
    std::array<unsigned char, kAltNameMax> value{};
    std::int32_t size = static_cast<std::int32_t>(value.size());
    std::int32_t critical = 0;
    if (Status got = ExtensionDer(cert, kSubjectAltNameOid, &critical, value.data(), &size);
        !got.Ok()) {
        return got;
    }
    // Past the GeneralNames header and the first name's header: the first name's content and
    // then the encodings of any further names.
    std::size_t pos = 0;
    const auto total = static_cast<std::size_t>(size);
    if (!SkipHeader(value.data(), total, pos) || !SkipHeader(value.data(), total, pos)) {
        return Status::Fail(Fault::Convert, "alternative name header");
    }
    return CopyBytes(value.data() + pos, total - pos, buf, len);
}

Status CrlDistributionPoint(VR_CERT cert, std::int32_t index, char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr) {
        return Status::Fail(Fault::Argument, "certificate");
    }
    DistPointsPtr points(DecodeExtension<CRL_DIST_POINTS>(x, NID_crl_distribution_points));
    if (!points) {
        return Status::Fail(Fault::NotFound, "distribution points");
    }
    if (index < 0 || index >= sk_DIST_POINT_num(points.get())) {
        return Status::Fail(Fault::Index, "distribution point");
    }
    const DIST_POINT* point = sk_DIST_POINT_value(points.get(), index);
    if (point == nullptr) {
        return Status::Fail(Fault::Index, "distribution point");
    }
    const DIST_POINT_NAME* name = point->distpoint;
    if (name == nullptr || name->type != 0 || name->name.fullname == nullptr ||
        sk_GENERAL_NAME_num(name->name.fullname) <= 0) {
        return Status::Fail(Fault::Convert, "no full name to report");
    }
    return CopyGeneralName(sk_GENERAL_NAME_value(name->name.fullname, 0), buf, len);
}

Status AuthorityKeyIdentifier(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr) {
        return Status::Fail(Fault::Argument, "certificate");
    }
    AuthorityKeyIdPtr akid(DecodeExtension<AUTHORITY_KEYID>(x, NID_authority_key_identifier));
    if (!akid || akid->keyid == nullptr) {
        return Status::Fail(Fault::NotFound, "authority key identifier");
    }
    return CopyBytes(akid->keyid, buf, len);
}

Status SubjectKeyIdentifier(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr) {
        return Status::Fail(Fault::Argument, "certificate");
    }
    OctetStringPtr skid(DecodeExtension<ASN1_OCTET_STRING>(x, NID_subject_key_identifier));
    if (!skid) {
        return Status::Fail(Fault::NotFound, "subject key identifier");
    }
    return CopyBytes(skid.get(), buf, len);
}

Status KeyUsage(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr) {
        return Status::Fail(Fault::Argument, "certificate");
    }
    BitStringPtr usage(DecodeExtension<ASN1_BIT_STRING>(x, NID_key_usage));
    if (!usage) {
        return Status::Fail(Fault::NotFound, "key usage");
    }
    if (buf == nullptr) { // a presence test; the length only when asked for
        if (len != nullptr) {
            *len = ASN1_STRING_length(usage.get());
        }
        return Status::Fail(Fault::BufferTooSmall, "key usage");
    }
    return CopyBytes(usage.get(), buf, len);
}

Status AuthorityInfoAccess(VR_CERT cert, const char* method, char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr) {
        return Status::Fail(Fault::Argument, "certificate");
    }
    const ObjectPtr wanted = ObjectFromText(method);
    if (!wanted) {
        return Status::Fail(Fault::BadInput, "access method");
    }
    InfoAccessPtr access(DecodeExtension<AUTHORITY_INFO_ACCESS>(x, NID_info_access));
    if (!access) {
        return Status::Fail(Fault::NotFound, "authority information access");
    }
    for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(access.get()); ++i) {
        const ACCESS_DESCRIPTION* entry = sk_ACCESS_DESCRIPTION_value(access.get(), i);
        if (entry != nullptr && OBJ_cmp(entry->method, wanted.get()) == 0) {
            return CopyGeneralName(entry->location, buf, len);
        }
    }
    return Status::Fail(Fault::NotFound, "access method");
}

Status CertPolicyOid(VR_CERT cert, char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr || len == nullptr) {
        return Status::Fail(Fault::Argument, "certificate or length");
    }
    PoliciesPtr policies(DecodeExtension<CERTIFICATEPOLICIES>(x, NID_certificate_policies));
    if (!policies) {
        return Status::Fail(Fault::NotFound, "certificate policies");
    }
    const POLICYINFO* first = sk_POLICYINFO_value(policies.get(), 0);
    if (first == nullptr) {
        return Status::Fail(Fault::Invalid, "no policy");
    }
    const std::string text = ObjectText(first->policyid);
    if (text.empty()) {
        return Status::Fail(Fault::OpenSsl, "policy identifier text");
    }
    return CopyText(text, buf, len);
}

Status SubjectDirectoryAttribute(VR_CERT cert, const char* oid, char* buf, std::int32_t* len) {
    std::array<unsigned char, kDirectoryAttributesMax> value{};
    std::int32_t size = static_cast<std::int32_t>(value.size());
    std::int32_t critical = 0;
    if (Status got =
            ExtensionDer(cert, kSubjectDirectoryAttributesOid, &critical, value.data(), &size);
        !got.Ok()) {
        return got;
    }
    // An attribute type that is no identifier names no attribute the extension holds.
    const ObjectPtr type = ObjectFromText(oid);
    if (!type) {
        return Status::Fail(Fault::NotFound, "attribute type");
    }
    const AttributePtr attribute = FindAttribute(value.data(), size, type.get());
    const ASN1_TYPE* first = attribute ? X509_ATTRIBUTE_get0_type(attribute.get(), 0) : nullptr;
    if (first == nullptr) {
        return Status::Fail(Fault::NotFound, "attribute");
    }
    return CopyAttributeValue(first, buf, len);
}

} // namespace

VANTREL_API VR_RESULT GetExtensionDER(VR_CERT cert, const char* oid, std::int32_t* critical,
                                      unsigned char* buf, std::int32_t* len) {
    return ToResult(ExtensionDer(cert, oid, critical, buf, len), Family::Extension);
}

VANTREL_API VR_RESULT GetSubjectAltName(VR_CERT cert, char* buf, std::int32_t* len) {
    return ToResult(SubjectAltName(cert, buf, len), Family::Extension);
}

VANTREL_API VR_RESULT GetCRLDistributionPoint(VR_CERT cert, std::int32_t index, char* buf,
                                              std::int32_t* len) {
    return ToResult(CrlDistributionPoint(cert, index, buf, len), Family::Extension);
}

VANTREL_API VR_RESULT GetCertAuthorityKeyIdentifier(VR_CERT cert, unsigned char* buf,
                                                    std::int32_t* len) {
    return ToResult(AuthorityKeyIdentifier(cert, buf, len), Family::Extension);
}

VANTREL_API VR_RESULT GetSubjectKeyIdentifier(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    return ToResult(SubjectKeyIdentifier(cert, buf, len), Family::Extension);
}

VANTREL_API VR_RESULT GetKeyUsage(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    return ToResult(KeyUsage(cert, buf, len), Family::Extension);
}

VANTREL_API VR_RESULT IsKeyUsageSignature(VR_CERT cert) {
    return HasKeyUsage(cert, kDigitalSignature);
}

VANTREL_API VR_RESULT IsKeyUsageEncipherment(VR_CERT cert) {
    return HasKeyUsage(cert, kEncipherment);
}

VANTREL_API VR_RESULT GetAuthorityInfoAccess(VR_CERT cert, const char* method, char* buf,
                                             std::int32_t* len) {
    return ToResult(AuthorityInfoAccess(cert, method, buf, len), Family::Extension);
}

VANTREL_API VR_RESULT GetCAIssuers(VR_CERT cert, char* buf, std::int32_t* len) {
    return GetAuthorityInfoAccess(cert, kCaIssuersOid, buf, len);
}

VANTREL_API VR_RESULT GetOCSP(VR_CERT cert, char* buf, std::int32_t* len) {
    return GetAuthorityInfoAccess(cert, kOcspOid, buf, len);
}

VANTREL_API VR_RESULT GetCertPolicyOID(VR_CERT cert, char* buf, std::int32_t* len) {
    return ToResult(CertPolicyOid(cert, buf, len), Family::Extension);
}

VANTREL_API VR_RESULT GetSubjectDirectoryAttribute(VR_CERT cert, const char* oid, char* buf,
                                                   std::int32_t* len) {
    return ToResult(SubjectDirectoryAttribute(cert, oid, buf, len), Family::Extension);
}

// The attributes of the government PKI's arc 2.16.886.1.100.2 that have a function of their own.
#define VR_DIRECTORY_ATTRIBUTE(function, arc)                                                      \
    VANTREL_API VR_RESULT function(VR_CERT cert, char* buf, std::int32_t* len) {                   \
        return GetSubjectDirectoryAttribute(cert, "2.16.886.1.100.2." arc, buf, len);              \
    }
VR_DIRECTORY_ATTRIBUTE(GetSubjectTypeOID, "1")
VR_DIRECTORY_ATTRIBUTE(GetSubjectHolderRank, "2")
VR_DIRECTORY_ATTRIBUTE(GetTailOfCitizenID, "51")
VR_DIRECTORY_ATTRIBUTE(GetUniformOrganizationID, "101")
VR_DIRECTORY_ATTRIBUTE(GetEntityOID, "102")
VR_DIRECTORY_ATTRIBUTE(GetGroupID, "200")
VR_DIRECTORY_ATTRIBUTE(GetCertTypeID, "201")
VR_DIRECTORY_ATTRIBUTE(GetUID, "202")
VR_DIRECTORY_ATTRIBUTE(GetCardID, "204")
#undef VR_DIRECTORY_ATTRIBUTE
