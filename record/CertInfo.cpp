#include "record/CertInfo.h"

#include "record/CertDates.h"

#include <cstring>

namespace tessivo {
namespace {

// Chinese names as code-page-950 bytes, so the record reads right where the ANSI code page is
// 950 without depending on the source file's encoding.
const SubjectType kSubjectTypes[] = {
    {"2.16.886.1.100.3.1.1", 1, "\xA6\xDB\xB5\x4D\xA4\x48\xBE\xCC\xC3\xD2"}, // 自然人憑證
    {"2.16.886.1.100.3.2.1.1", 2,
     "\xAC\x46\xA9\xB2\xBE\xF7\xC3\xF6\xBE\xCC\xC3\xD2"}, // 政府機關憑證
    {"2.16.886.1.100.3.2.1.2", 3,
     "\xAC\x46\xA9\xB2\xB3\xE6\xA6\xEC\xBE\xCC\xC3\xD2"},                // 政府單位憑證
    {"2.16.886.1.100.3.2.2.1.1", 4, "\xA4\xBD\xA5\x71\xBE\xCC\xC3\xD2"}, // 公司憑證
    {"2.16.886.1.100.3.2.3.3.1", 5, "\xA4\xC0\xA4\xBD\xA5\x71\xBE\xCC\xC3\xD2"}, // 分公司憑證
    {"2.16.886.1.100.3.2.3.1", 6, "\xB0\xD3\xB8\xB9\xBE\xCC\xC3\xD2"},           // 商號憑證
    {"2.16.886.1.100.3.3.1", 7, "\xA6\xF8\xAA\x41\xBE\xB9\xBE\xCC\xC3\xD2"},     // 伺服器憑證
    {"2.16.886.1.100.3.1.5", 8, "\xC2\xBE\xB0\xC8\xBE\xCC\xC3\xD2"},             // 職務憑證
    {"2.16.886.1.100.3.2.2.2.1", 9,
     "\xAA\xC0\xB9\xCE\xAA\x6B\xA4\x48\xBE\xCC\xC3\xD2"}, // 社團法人憑證
    {"2.16.886.1.100.3.2.2.2.2", 10,
     "\xB0\x5D\xB9\xCE\xAA\x6B\xA4\x48\xBE\xCC\xC3\xD2"},              // 財團法人憑證
    {"2.16.886.1.100.3.2.11", 11, "\xBE\xC7\xAE\xD5\xBE\xCC\xC3\xD2"}, // 學校憑證
    {"2.16.886.1.100.3.2.21", 12,
     "\xC2\xE5\xA8\xC6\xBE\xF7\xBA\x63\xBE\xCC\xC3\xD2"}, // 醫事機構憑證
    {"2.16.886.1.100.3.1.7", 13,
     "\xC2\xE5\xA8\xC6\xA4\x48\xAD\xFB\xBE\xCC\xC3\xD2"}, // 醫事人員憑證
    {"2.16.886.1.100.3.2.3.4", 14,
     "\xA6\xDB\xA5\xD1\xC2\xBE\xB7\x7E\xA8\xC6\xB0\xC8\xA9\xD2\xBE\xCC\xC3\xD2"}, // 自由職業事務所憑證
    {"2.16.886.1.100.3.2.49", 15,
     "\xA8\xE4\xA5\x4C\xB2\xD5\xC2\xB4\xA9\xCE\xB9\xCE\xC5\xE9\xBE\xCC\xC3\xD2"}, // 其他組織或團體憑證
};
const SubjectType kOtherType = {nullptr, 0, "\xA8\xE4\xA5\x4C\xBE\xCC\xC3\xD2"}; // 其他憑證

struct Name {
    const char* key;
    const char* value;
};

const Name kHolderRanks[] = {
    {"primary", "\xA5\xBF\xA5\x64"},           // 正卡
    {"secondary", "\xB0\xC6\xA5\x64"},         // 副卡
    {"temporary", "\xC1\x7B\xAE\xC9\xA5\x64"}, // 臨時卡
};

const Name kSignatureAlgorithms[] = {
    {"1.2.840.113549.1.1.5", "sha1RSA"},
    {"1.2.840.113549.1.1.11", "sha256RSA"},
};

const Name kPolicies[] = {
    {"2.16.886.101.0.3.0", "TEST"},   {"2.16.886.101.0.3.1", "CLASS1"},
    {"2.16.886.101.0.3.2", "CLASS2"}, {"2.16.886.101.0.3.3", "CLASS3"},
    {"2.16.886.101.0.3.4", "CLASS4"},
};

template <std::size_t N> const char* Find(const Name (&table)[N], const std::string& key) {
    for (const Name& entry : table) {
        if (key == entry.key)
            return entry.value;
    }
    return nullptr;
}

std::u16string Ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// Narrow accessor values count only up to their first zero byte.
std::string UpToZero(const std::string& bytes) {
    return bytes.substr(0, std::strlen(bytes.c_str()));
}

class RecordWriter {
public:
    explicit RecordWriter(const WidenFn& widen) : widen_(widen) {}

    void Wide(const char* name, const std::u16string& value) {
        record_ += u' ';
        record_ += Ascii(name);
        record_ += u"='";
        record_ += value;
        record_ += u'\'';
    }
    void Narrow(const char* name, const std::string& value) { Wide(name, widen_(UpToZero(value))); }
    void Number(const char* name, long value) { Wide(name, Ascii(std::to_string(value))); }
    void Narrow(const char* name, const std::optional<std::string>& value) {
        if (value)
            Narrow(name, *value);
    }
    void Number(const char* name, const std::optional<std::int32_t>& value) {
        if (value)
            Number(name, *value);
    }
    void Date(const char* name, const std::optional<std::tm>& utc) {
        if (utc)
            Wide(name, LocalDateTimeText(UtcToInstant(*utc)));
    }
    void Hex(const char* name, const std::optional<std::string>& bytes) {
        if (bytes)
            Wide(name, HexText(*bytes));
    }
    void Named(const char* name, const std::optional<std::string>& oid,
               const char* (*lookup)(const std::string&)) {
        if (!oid)
            return;
        const char* known = lookup(UpToZero(*oid));
        Narrow(name, known ? std::string(known) : *oid);
    }

    std::u16string Take() { return std::move(record_); }

private:
    const WidenFn& widen_;
    std::u16string record_;
};

void WriteSubjectTypeGroup(RecordWriter& w, const CertInfoFields& f) {
    if (!f.subjectTypeOid)
        return;
    const std::string oid = UpToZero(*f.subjectTypeOid);
    const SubjectType& type = LookupSubjectType(oid);
    w.Narrow("OID", oid);
    w.Number("Type", type.type);
    w.Narrow("TypeString", std::string(type.name));
    if (oid == kCitizenTypeOid)
        w.Narrow("ID", f.citizenIdTail);
    if (f.holderRank) {
        if (const char* card = HolderRankCard(UpToZero(*f.holderRank)))
            w.Narrow("Ext", std::string(card));
        w.Narrow("HolderRank", *f.holderRank);
    }
    w.Narrow("ID", f.entityOid);
    w.Narrow("ID", f.uniformOrganizationId);
}

} // namespace

const SubjectType& LookupSubjectType(const std::string& oid) {
    for (const SubjectType& entry : kSubjectTypes) {
        if (oid == entry.oid)
            return entry;
    }
    return kOtherType;
}

const char* HolderRankCard(const std::string& rank) {
    return Find(kHolderRanks, rank);
}
const char* SignatureAlgorithmName(const std::string& oid) {
    return Find(kSignatureAlgorithms, oid);
}
const char* PolicyName(const std::string& oid) {
    return Find(kPolicies, oid);
}

std::u16string HexText(const std::string& bytes) {
    static const char16_t kDigits[] = u"0123456789abcdef";
    std::u16string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::u16string FormatCertInfo(const CertInfoFields& f, const std::u16string& certSerial,
                              const WidenFn& widen) {
    RecordWriter w(widen);
    w.Narrow("EMAIL", f.email);
    // An empty key usage has no last byte to show.
    if (f.keyUsage && !f.keyUsage->empty())
        w.Number("Usage", static_cast<std::int8_t>(f.keyUsage->back()));
    w.Wide("SerialNo", certSerial);
    w.Narrow("SubjectDN", f.subjectDN);
    w.Narrow("IssuerDN", f.issuerDN);
    w.Date("BeginDate", f.notBefore);
    w.Date("EndDate", f.notAfter);
    if (f.forSign)
        w.Narrow("ForSign", std::string("Y"));
    if (f.forEncrypt)
        w.Narrow("ForEncrypt", std::string("Y"));
    WriteSubjectTypeGroup(w, f);
    w.Number("GroupID", f.groupId);
    w.Number("CertTypeID", f.certTypeId);
    w.Narrow("UID", f.uid);
    w.Narrow("CardID", f.cardId);
    w.Narrow("CAIssuers", f.caIssuers);
    w.Hex("AuthorityKeyId", f.authorityKeyId);
    w.Hex("SubjectKeyId", f.subjectKeyId);
    w.Named("SignAlgorithm", f.signatureAlgorithm, SignatureAlgorithmName);
    w.Named("Policy", f.policy, PolicyName);
    w.Narrow("OCSP", f.ocsp);
    w.Narrow("CRL", f.crl);
    return w.Take();
}

} // namespace tessivo
