#include "record/CertFields.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/codepage.h"

namespace tessivo {
namespace {

constexpr std::int32_t kValueBuffer = 1024;
// A value larger than this is not a certificate field worth showing.
constexpr std::int32_t kLargestValue = 1 << 20;

// Calls a copy-out accessor with a zeroed 1,024-byte buffer; a value that does not fit is read
// again into a buffer of the size the accessor asked for. Empty when the accessor fails.
template <class Accessor> std::optional<std::string> ReadValue(Accessor accessor) {
    std::vector<char> buffer(kValueBuffer, '\0');
    std::int32_t length = kValueBuffer;
    VR_RESULT rv = accessor(buffer.data(), &length);
    if (rv == BASIC_BUFFER_TOO_SMALL && length > kValueBuffer && length <= kLargestValue) {
        buffer.assign(static_cast<std::size_t>(length), '\0');
        rv = accessor(buffer.data(), &length);
    }
    if (rv != OK || length < 0)
        return std::nullopt;
    const std::size_t n = std::min(static_cast<std::size_t>(length), buffer.size());
    return std::string(buffer.data(), n);
}

std::optional<std::int32_t> ReadNumber(VR_RESULT (*accessor)(VR_CERT, char*, std::int32_t*),
                                       VR_CERT cert) {
    unsigned char bytes[4] = {};
    std::int32_t length = 4;
    if (accessor(cert, reinterpret_cast<char*>(bytes), &length) != OK)
        return std::nullopt;
    // Little-endian, as the library hands integers over.
    const std::uint32_t value = bytes[0] | (std::uint32_t(bytes[1]) << 8) |
                                (std::uint32_t(bytes[2]) << 16) | (std::uint32_t(bytes[3]) << 24);
    return static_cast<std::int32_t>(value);
}

std::optional<std::string> ReadText(VR_RESULT (*accessor)(VR_CERT, char*, std::int32_t*),
                                    VR_CERT cert) {
    return ReadValue([&](char* buf, std::int32_t* len) { return accessor(cert, buf, len); });
}

std::optional<std::string> ReadBytes(VR_RESULT (*accessor)(VR_CERT, unsigned char*, std::int32_t*),
                                     VR_CERT cert) {
    return ReadValue([&](char* buf, std::int32_t* len) {
        return accessor(cert, reinterpret_cast<unsigned char*>(buf), len);
    });
}

std::optional<std::string>
ReadName(VR_RESULT (*accessor)(VR_CERT, std::int32_t, char*, std::int32_t*), VR_CERT cert) {
    const auto utf8 =
        ReadValue([&](char* buf, std::int32_t* len) { return accessor(cert, 1, buf, len); });
    if (!utf8)
        return std::nullopt;
    return Utf8NameToBig5(utf8->substr(0, std::strlen(utf8->c_str())));
}

std::optional<std::tm> ReadTime(VR_RESULT (*accessor)(VR_CERT, struct tm*), VR_CERT cert) {
    std::tm time{};
    if (accessor(cert, &time) != OK)
        return std::nullopt;
    return time;
}

} // namespace

std::string Utf8NameToBig5(const std::string& utf8) {
    if (utf8.empty() || utf8.size() > static_cast<std::size_t>(kLargestValue))
        return {};
    const int inLength = static_cast<int>(utf8.size());
    const int units = plat::MultiByteToWide(plat::kCpUtf8, 0, utf8.data(), inLength, nullptr, 0);
    if (units <= 0)
        return {};
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    if (plat::MultiByteToWide(plat::kCpUtf8, 0, utf8.data(), inLength, &wide[0], units) != units)
        return {};
    const int bytes = plat::WideToMultiByte(plat::kCpBig5, 0, wide.data(), units, nullptr, 0);
    if (bytes <= 0)
        return {};
    std::string big5(static_cast<std::size_t>(bytes), '\0');
    if (plat::WideToMultiByte(plat::kCpBig5, 0, wide.data(), units, &big5[0], bytes) != bytes)
        return {};
    return big5;
}

CertInfoFields ReadCertInfoFields(VR_CERT cert) {
    CertInfoFields f;
    f.email = ReadText(GetSubjectAltName, cert);
    f.keyUsage = ReadBytes(GetKeyUsage, cert);
    f.subjectDN = ReadName(GetSubjectDN, cert);
    f.issuerDN = ReadName(GetIssuerDN, cert);
    f.notBefore = ReadTime(GetNotBefore, cert);
    f.notAfter = ReadTime(GetNotAfter, cert);
    f.forSign = IsKeyUsageSignature(cert) == 1;
    f.forEncrypt = IsKeyUsageEncipherment(cert) == 1;
    f.subjectTypeOid = ReadText(GetSubjectTypeOID, cert);
    if (f.subjectTypeOid) {
        f.citizenIdTail = ReadText(GetTailOfCitizenID, cert);
        f.holderRank = ReadText(GetSubjectHolderRank, cert);
        f.entityOid = ReadText(GetEntityOID, cert);
        f.uniformOrganizationId = ReadText(GetUniformOrganizationID, cert);
    }
    f.groupId = ReadNumber(GetGroupID, cert);
    f.certTypeId = ReadNumber(GetCertTypeID, cert);
    f.uid = ReadText(GetUID, cert);
    f.cardId = ReadText(GetCardID, cert);
    f.caIssuers = ReadText(GetCAIssuers, cert);
    f.authorityKeyId = ReadBytes(GetCertAuthorityKeyIdentifier, cert);
    f.subjectKeyId = ReadBytes(GetSubjectKeyIdentifier, cert);
    f.signatureAlgorithm = ReadText(GetCertSignatureAlgorithm, cert);
    f.policy = ReadText(GetCertPolicyOID, cert);
    f.ocsp = ReadText(GetOCSP, cert);
    f.crl = ReadValue(
        [&](char* buf, std::int32_t* len) { return GetCRLDistributionPoint(cert, 0, buf, len); });
    return f;
}

} // namespace tessivo
