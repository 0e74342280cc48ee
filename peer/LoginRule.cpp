#include "peer/LoginRule.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "openssl_owned.h"
#include "peer/Translate.h"

namespace peer {

namespace {

const std::vector<std::uint8_t> kSignId = {'S', 'I', 'G', 'N'};
const std::vector<std::uint8_t> kEncipherId = {'K', 'E', 'Y', 'X'};
constexpr std::uint8_t kSignatureUsage = 0x80;    // digitalSignature alone
constexpr std::uint8_t kEnciphermentUsage = 0x30; // keyEncipherment and dataEncipherment alone
// The login reads each id into a buffer of this size; a longer id ends its key-usage search.
constexpr std::size_t kMaxIdBytes = 256;

using ossl::X509Ptr;
using BitStringPtr = ossl::Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;

X509Ptr ParseDer(const std::vector<std::uint8_t>& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// The key-usage bit string's bytes (after the unused-bits octet); nullopt without the extension.
std::optional<std::vector<std::uint8_t>> KeyUsageBytes(X509* cert) {
    BitStringPtr bits(
        static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(cert, NID_key_usage, nullptr, nullptr)));
    if (!bits) {
        return std::nullopt;
    }
    const unsigned char* data = ASN1_STRING_get0_data(bits.get());
    return std::vector<std::uint8_t>(data, data + ASN1_STRING_length(bits.get()));
}

// The login's key-usage test: exactly one byte, equal to `usage`.
bool UsageIs(X509* cert, std::uint8_t usage) {
    const auto bytes = KeyUsageBytes(cert);
    return bytes && bytes->size() == 1 && (*bytes)[0] == usage;
}

// The login's choice: the first certificate with `id` when its value is a certificate, else
// the first certificate, in order, whose key usage is `usage`. The key-usage search ends at the
// first certificate it cannot read, as the login's does.
std::optional<std::size_t> Choose(const std::vector<PublicCertificate>& certs,
                                  const std::vector<std::uint8_t>& id, std::uint8_t usage) {
    for (std::size_t i = 0; i < certs.size(); ++i) {
        if (certs[i].id == id) {
            if (ParseDer(certs[i].der)) {
                return i;
            }
            break;
        }
    }
    for (std::size_t i = 0; i < certs.size(); ++i) {
        if (certs[i].id.size() > kMaxIdBytes) {
            return std::nullopt;
        }
        const X509Ptr cert = ParseDer(certs[i].der);
        if (!cert) {
            return std::nullopt;
        }
        if (UsageIs(cert.get(), usage)) {
            return i;
        }
    }
    return std::nullopt;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

std::string UsageText(const std::optional<std::vector<std::uint8_t>>& bytes) {
    if (!bytes) {
        return "none";
    }
    static const char* const names[] = {"digitalSignature", "nonRepudiation", "keyEncipherment",
                                        "dataEncipherment", "keyAgreement",   "keyCertSign",
                                        "cRLSign",          "encipherOnly",   "decipherOnly"};
    std::string named;
    for (std::size_t bit = 0; bit < 9; ++bit) {
        const std::size_t byte = bit / 8;
        if (byte < bytes->size() && ((*bytes)[byte] & (0x80 >> (bit % 8))) != 0) {
            named += (named.empty() ? "" : ", ") + std::string(names[bit]);
        }
    }
    return Hex(*bytes) + " (" + (named.empty() ? "no bits" : named) + ")";
}

CertificateFacts FactsOf(const PublicCertificate& c) {
    CertificateFacts facts;
    facts.label = ModuleTextToUtf8(c.label);
    facts.idHex = Hex(c.id);
    bool printable = !c.id.empty();
    for (std::uint8_t b : c.id) {
        printable = printable && b >= 0x20 && b < 0x7F;
    }
    if (printable) {
        facts.id.assign(c.id.begin(), c.id.end());
    }
    const X509Ptr cert = ParseDer(c.der);
    facts.parsed = cert != nullptr;
    facts.keyUsage = cert ? UsageText(KeyUsageBytes(cert.get())) : "unreadable";
    if (cert) {
        facts.subject = DistinguishedNameText(X509_get_subject_name(cert.get()));
    }
    return facts;
}

} // namespace

LoginCheck CheckLoginRule(const std::vector<PublicCertificate>& certificates) {
    LoginCheck check;
    for (const PublicCertificate& c : certificates) {
        check.certificates.push_back(FactsOf(c));
    }
    if (certificates.empty()) {
        check.verdict = CardVerdict::Unknown;
        return check;
    }
    check.signature = Choose(certificates, kSignId, kSignatureUsage);
    check.encipherment = Choose(certificates, kEncipherId, kEnciphermentUsage);
    if (check.signature && check.encipherment) {
        check.verdict = CardVerdict::Usable;
        return check;
    }
    check.verdict = CardVerdict::Unusable;
    const std::string signature =
        Tr("a signature certificate (id \"SIGN\", or key usage digitalSignature alone)");
    const std::string encipherment = Tr("an encipherment certificate (id \"KEYX\", or key usage "
                                        "keyEncipherment and dataEncipherment alone)");
    const std::string what = !check.signature && !check.encipherment
                                 ? Tr("%s and %s", signature, encipherment)
                                 : (!check.signature ? signature : encipherment);
    check.missing = Tr("The card lacks %s, which the agent's login needs.", what);
    return check;
}

std::string DistinguishedNameText(const X509_NAME* name) {
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string DescribeCertificate(const CertificateFacts& facts) {
    const std::string id = facts.id.empty()
                               ? (facts.idHex.empty() ? Tr("none") : Tr("hex %s", facts.idHex))
                               : "\"" + facts.id + "\"";
    return facts.parsed ? Tr("label \"%s\", id %s, key usage %s, subject %s", facts.label, id,
                             facts.keyUsage, facts.subject)
                        : Tr("label \"%s\", id %s, key usage %s, not a readable certificate",
                             facts.label, id, facts.keyUsage);
}

} // namespace peer
