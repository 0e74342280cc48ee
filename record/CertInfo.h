// The certificate information record: one line of NAME='value' attributes describing the
// card's signature certificate, and the tables that name the Taiwan government PKI's
// identifiers. Chinese names are code-page-950 (Big5) bytes.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace tessivo {

struct SubjectType {
    const char* oid; // null for the catch-all entry
    int type;
    const char* name; // Big5
};

// The entry whose identifier equals `oid` exactly, else the "other certificate" entry (type 0).
const SubjectType& LookupSubjectType(const std::string& oid);
// "primary", "secondary", "temporary" give the card word (Big5); anything else null.
const char* HolderRankCard(const std::string& rank);
// Known signature algorithms and policies by name; null when the identifier is not listed.
const char* SignatureAlgorithmName(const std::string& oid);
const char* PolicyName(const std::string& oid);

inline constexpr char kCitizenTypeOid[] = "2.16.886.1.100.3.1.1";

// What the certificate accessors gave; an empty optional is an accessor that failed. Narrow
// values are bytes as returned (taken up to their first zero byte); the subject and issuer
// names are already in code page 950.
struct CertInfoFields {
    std::optional<std::string> email;
    std::optional<std::string> keyUsage; // the bit-string bytes
    std::optional<std::string> subjectDN;
    std::optional<std::string> issuerDN;
    std::optional<std::tm> notBefore; // UTC
    std::optional<std::tm> notAfter;  // UTC
    bool forSign = false;
    bool forEncrypt = false;
    std::optional<std::string> subjectTypeOid;
    std::optional<std::string> citizenIdTail;
    std::optional<std::string> holderRank;
    std::optional<std::string> entityOid;
    std::optional<std::string> uniformOrganizationId;
    std::optional<std::int32_t> groupId;
    std::optional<std::int32_t> certTypeId;
    std::optional<std::string> uid;
    std::optional<std::string> cardId;
    std::optional<std::string> caIssuers;
    std::optional<std::string> authorityKeyId; // raw identifier bytes
    std::optional<std::string> subjectKeyId;   // raw identifier bytes
    std::optional<std::string> signatureAlgorithm;
    std::optional<std::string> policy;
    std::optional<std::string> ocsp;
    std::optional<std::string> crl;
};

// Narrow text (ANSI code page) to UTF-16, invalid sequences refused (the result is then empty).
using WidenFn = std::function<std::u16string(const std::string&)>;

// The record: attributes in their fixed order, each " NAME='value'"; SerialNo always, the
// subject-type group (OID to the last ID) only with a subject-type identifier.
std::u16string FormatCertInfo(const CertInfoFields& fields, const std::u16string& certSerial,
                              const WidenFn& widen);

// Bytes as lower-case hexadecimal, two digits per byte, without separators.
std::u16string HexText(const std::string& bytes);

} // namespace tessivo
