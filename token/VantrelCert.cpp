// Certificate fields: DER and PKCS#7 in and out, signature check, serial number, names and the
// validity dates.
#include "vantrel.h"
#include "cryptoki.h"
#include "platform/text.h"
#include "token/VantrelCertCommon.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

using namespace vantrel_cert;
using vantrel::Family;
using vantrel::ToResult;

namespace {

// XN_FLAG_RFC2253 with and without XN_FLAG_DN_REV.
constexpr unsigned long kNameFlagsReversed = 0x1110317;
constexpr unsigned long kNameFlagsInOrder = 0x1010317;
// The printed name is cut at this length.
constexpr std::size_t kNameTextMax = 1024;

// Characters that RFC 2253 escapes with a backslash in front of the character itself.
bool IsEscapedSpecial(char c) {
    return std::string_view(",+\"\\;=#<> ").find(c) != std::string_view::npos;
}

// Undoes the RFC 2253 escapes of a printed name: "\," gives ",", "\E7" gives the byte 0xE7, so
// names come back as plain UTF-8. A backslash that starts neither form is kept as it is.
std::string UnescapeName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            const char next = text[i + 1];
            if (IsEscapedSpecial(next)) {
                out.push_back(next);
                ++i;
                continue;
            }
            const int hi = plat::HexDigitValue(next);
            const int lo = i + 2 < text.size() ? plat::HexDigitValue(text[i + 2]) : -1;
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

bool PrintName(const X509_NAME* name, bool reverse, std::string& text) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) {
        return false;
    }
    const unsigned long flags = reverse ? kNameFlagsReversed : kNameFlagsInOrder;
    if (X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) {
        return false;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    const std::size_t kept = size > 0 ? std::min<std::size_t>(size, kNameTextMax) : 0;
    text.assign(data == nullptr ? "" : data, kept);
    return true;
}

// The name as unescaped text with its terminating zero; the length reported counts the zero.
Status GetName(VR_CERT cert, bool subject, std::int32_t reverse, char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr || len == nullptr) {
        return Status::Fail(Fault::Argument, "certificate or length");
    }
    std::string printed;
    const X509_NAME* name = subject ? X509_get_subject_name(x) : X509_get_issuer_name(x);
    if (!PrintName(name, reverse != 0, printed)) {
        printed.clear();
    }
    std::string text = UnescapeName(printed);
    text.push_back('\0');
    return CopyBytes(text.data(), text.size(), buf, len);
}

// Reads the decimal fields of an ASN.1 time text, never past its end.
class TimeReader {
public:
    TimeReader(const unsigned char* text, std::size_t size) : text_(text), size_(size) {}

    bool AtEnd() const { return pos_ >= size_; }
    bool NextIsDigit() const { return !AtEnd() && IsDigit(text_[pos_]); }
    bool NextIs(char c) const { return !AtEnd() && text_[pos_] == static_cast<unsigned char>(c); }
    void Skip() { ++pos_; }

    // Exactly `digits` decimal digits within [low, high].
    bool Number(int digits, int low, int high, int& value) {
        if (pos_ > size_ || size_ - pos_ < static_cast<std::size_t>(digits)) {
            return false;
        }
        int v = 0;
        for (int i = 0; i < digits; ++i) {
            const unsigned char c = text_[pos_ + i];
            if (!IsDigit(c)) {
                return false;
            }
            v = v * 10 + (c - '0');
        }
        if (v < low || v > high) {
            return false;
        }
        pos_ += digits;
        value = v;
        return true;
    }

    // Fractional seconds of a GeneralizedTime.
    void SkipFraction() {
        while (!AtEnd() && (text_[pos_] == '.' || text_[pos_] == ',' || IsDigit(text_[pos_]))) {
            ++pos_;
        }
    }

private:
    static bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

    const unsigned char* text_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Fills weekday and day of the year like a 32-bit mktime: only for times from 1970 to January
// 2038; outside that range the structure is left as it is, on every platform alike.
void Normalise32(std::tm& t) {
    std::tm copy = t;
    const std::time_t when = std::mktime(&copy);
    if (when == static_cast<std::time_t>(-1) || when < 0 ||
        static_cast<long long>(when) > INT32_MAX) {
        return;
    }
    t = copy;
}

// Year, month, day, hour, minute and the optional second; each field is stored once read.
bool ReadDateAndTime(TimeReader& r, bool generalized, std::tm& t) {
    int v = 0;
    if (generalized) {
        if (!r.Number(4, 0, 9999, v)) {
            return false;
        }
        t.tm_year = v - 1900;
    } else {
        if (!r.Number(2, 0, 99, v)) {
            return false;
        }
        t.tm_year = v < 50 ? v + 100 : v;
    }
    if (!r.Number(2, 1, 12, v)) {
        return false;
    }
    t.tm_mon = v - 1;
    if (!r.Number(2, 1, 31, v)) {
        return false;
    }
    t.tm_mday = v;
    if (!r.Number(2, 0, 23, v)) {
        return false;
    }
    t.tm_hour = v;
    if (!r.Number(2, 0, 59, v)) {
        return false;
    }
    t.tm_min = v;
    v = 0;
    if (r.NextIsDigit() && !r.Number(2, 0, 59, v)) {
        return false;
    }
    t.tm_sec = v;
    return true;
}

// A zone designator ("Z", or a sign and hhmm) is read but not applied: certificates write UTC.
bool ReadZone(TimeReader& r) {
    if (r.NextIs('Z')) {
        r.Skip();
        return true;
    }
    if (r.NextIs('+') || r.NextIs('-')) {
        r.Skip();
        int hh = 0;
        int mm = 0;
        return r.Number(2, 0, 23, hh) && r.Number(2, 0, 59, mm);
    }
    return r.AtEnd();
}

// A malformed time leaves the structure written as far as it got.
void ReadTime(const ASN1_TIME* time, std::tm& t) {
    if (time == nullptr) {
        return;
    }
    const int type = ASN1_STRING_type(time);
    if (type != V_ASN1_UTCTIME && type != V_ASN1_GENERALIZEDTIME) {
        return;
    }
    const unsigned char* text = ASN1_STRING_get0_data(time);
    const int size = ASN1_STRING_length(time);
    if (text == nullptr || size < 0 || std::memchr(text, 0, static_cast<std::size_t>(size))) {
        return; // not a plain text of its stated length
    }
    const bool generalized = type == V_ASN1_GENERALIZEDTIME;
    TimeReader r(text, static_cast<std::size_t>(size));
    if (!ReadDateAndTime(r, generalized, t)) {
        return;
    }
    if (generalized) {
        r.SkipFraction();
        if (r.AtEnd()) {
            t.tm_isdst = -1; // local time without a zone
            Normalise32(t);
            return;
        }
    }
    if (ReadZone(r)) {
        Normalise32(t);
    }
}

Status CopyCertificates(STACK_OF(X509) * set, VR_CERT* certs, std::int32_t* count) {
    const int n = sk_X509_num(set);
    if (*count < n) {
        *count = n;
        return Status::Fail(Fault::BufferTooSmall, "certificate array");
    }
    std::vector<X509Ptr> copies;
    for (int i = 0; i < n; ++i) {
        X509Ptr copy(X509_dup(sk_X509_value(set, i)));
        if (!copy) {
            return Status::Fail(Fault::Memory, "certificate copy");
        }
        copies.push_back(std::move(copy));
    }
    for (int i = 0; i < n; ++i) {
        certs[i] = copies[static_cast<std::size_t>(i)].release();
    }
    *count = n;
    return Status::Done();
}

Status ParseCert(const unsigned char* der, std::int32_t derLen, VR_CERT* cert) {
    if (cert == nullptr) {
        return Status::Fail(Fault::Argument, "certificate");
    }
    *cert = nullptr;
    if (der == nullptr || derLen <= 0) {
        return Status::Fail(Fault::BadInput, "DER");
    }
    const unsigned char* p = der;
    X509* x = d2i_X509(nullptr, &p, derLen);
    if (x == nullptr) {
        return Status::Fail(Fault::Convert, "d2i_X509");
    }
    *cert = x;
    return Status::Done();
}

Status EncodeCert(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr || len == nullptr) {
        return Status::Fail(Fault::Argument, "certificate or length");
    }
    unsigned char* raw = nullptr;
    const int size = i2d_X509(x, &raw);
    OpenSslBytes der(raw);
    if (size < 0 || !der) {
        return Status::Fail(Fault::Convert, "i2d_X509");
    }
    return CopyBytes(der.get(), static_cast<std::size_t>(size), buf, len);
}

Status BundleCerts(const unsigned char* der, std::int32_t derLen, VR_CERT* certs,
                   std::int32_t* count) {
    if (der == nullptr || derLen <= 0) {
        return Status::Fail(Fault::BadInput, "PKCS#7 DER");
    }
    const unsigned char* p = der;
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, derLen));
    if (!p7 || !PKCS7_type_is_signed(p7.get())) {
        return Status::Fail(Fault::Convert, "signed PKCS#7");
    }
    if (certs == nullptr) {
        return Status::Done();
    }
    if (count == nullptr) {
        return Status::Fail(Fault::Argument, "count");
    }
    STACK_OF(X509)* set = p7->d.sign != nullptr ? p7->d.sign->cert : nullptr;
    if (set == nullptr || sk_X509_num(set) <= 0) {
        return Status::Fail(Fault::NotFound, "certificates in the bundle");
    }
    return CopyCertificates(set, certs, count);
}

Status CheckSignature(VR_CERT cert, VR_CERT issuer) {
    if (cert == nullptr || issuer == nullptr) {
        return Status::Fail(Fault::Argument, "certificate or issuer");
    }
    // Algorithms are registered for the check and the tables cleared again afterwards (on
    // OpenSSL 3 the registration happens once and the clean-up does nothing).
    OpenSSL_add_all_algorithms();
    PkeyPtr key(X509_get_pubkey(AsX509(issuer)));
    const int verdict = key ? X509_verify(AsX509(cert), key.get()) : -1;
    EVP_cleanup();
    if (verdict == 1) {
        return Status::Done();
    }
    return verdict == 0 ? Status::Fail(Fault::Invalid, "signature", CKR_SIGNATURE_INVALID)
                        : Status::Fail(Fault::OpenSsl, "X509_verify");
}

Status SignatureAlgorithm(VR_CERT cert, char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr || len == nullptr) {
        return Status::Fail(Fault::Argument, "certificate or length");
    }
    const X509_ALGOR* alg = nullptr;
    X509_get0_signature(nullptr, &alg, x);
    const ASN1_OBJECT* obj = nullptr;
    if (alg != nullptr) {
        X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    }
    const std::string text = ObjectText(obj);
    if (buf == nullptr) { // a length query
        *len = static_cast<std::int32_t>(text.size());
        return Status::Done();
    }
    return CopyText(text, buf, len);
}

Status SerialNumber(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    X509* x = AsX509(cert);
    if (x == nullptr || len == nullptr) {
        return Status::Fail(Fault::Argument, "certificate or length");
    }
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
    const unsigned char* magnitude = ASN1_STRING_get0_data(serial);
    const int size = ASN1_STRING_length(serial);
    std::vector<unsigned char> out;
    if (size > 0 && (magnitude[0] & 0x80) != 0) {
        out.push_back(0); // keeps the INTEGER positive
    }
    if (size > 0) {
        out.insert(out.end(), magnitude, magnitude + size);
    }
    return CopyBytes(out.data(), out.size(), buf, len);
}

} // namespace

VANTREL_API VR_RESULT DER2Cert(const unsigned char* der, std::int32_t derLen, VR_CERT* cert) {
    return ToResult(ParseCert(der, derLen, cert), Family::Cert);
}

VANTREL_API VR_RESULT Cert2DER(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    return ToResult(EncodeCert(cert, buf, len), Family::Cert);
}

VANTREL_API VR_RESULT FreeCert(VR_CERT cert) {
    if (cert == nullptr) {
        return ToResult(Status::Fail(Fault::Argument, "certificate"), Family::Cert);
    }
    X509_free(AsX509(cert));
    return OK;
}

VANTREL_API VR_RESULT P7B2Cert(const unsigned char* der, std::int32_t derLen, VR_CERT* certs,
                               std::int32_t* count) {
    return ToResult(BundleCerts(der, derLen, certs, count), Family::Pkcs7);
}

VANTREL_API VR_RESULT VerifyCert(VR_CERT cert, VR_CERT issuer) {
    return ToResult(CheckSignature(cert, issuer), Family::Cert);
}

VANTREL_API VR_RESULT GetCertPublicKey(VR_CERT cert, VR_KEY* key) {
    if (key != nullptr) {
        *key = cert != nullptr ? X509_get_pubkey(AsX509(cert)) : nullptr;
    }
    return OK;
}

VANTREL_API VR_RESULT GetCertSignatureAlgorithm(VR_CERT cert, char* buf, std::int32_t* len) {
    return ToResult(SignatureAlgorithm(cert, buf, len), Family::Cert);
}

VANTREL_API VR_RESULT GetCertSerialNumber(VR_CERT cert, unsigned char* buf, std::int32_t* len) {
    return ToResult(SerialNumber(cert, buf, len), Family::Cert);
}

VANTREL_API VR_RESULT GetSubjectDN(VR_CERT cert, std::int32_t reverse, char* buf,
                                   std::int32_t* len) {
    return ToResult(GetName(cert, true, reverse, buf, len), Family::Cert);
}

VANTREL_API VR_RESULT GetIssuerDN(VR_CERT cert, std::int32_t reverse, char* buf,
                                  std::int32_t* len) {
    return ToResult(GetName(cert, false, reverse, buf, len), Family::Cert);
}

VANTREL_API VR_RESULT GetNotBefore(VR_CERT cert, struct tm* time) {
    if (cert != nullptr && time != nullptr) {
        ReadTime(X509_get0_notBefore(AsX509(cert)), *time);
    }
    return OK;
}

VANTREL_API VR_RESULT GetNotAfter(VR_CERT cert, struct tm* time) {
    if (cert != nullptr && time != nullptr) {
        ReadTime(X509_get0_notAfter(AsX509(cert)), *time);
    }
    return OK;
}
