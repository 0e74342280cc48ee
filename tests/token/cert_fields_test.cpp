// Certificate fields: DER and PKCS#7, signature check, public key, signature algorithm, serial,
// names and validity dates.
#include "openssl_owned.h"
#include "tests/token/test_certs.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

using namespace cert_test;

namespace {

const std::vector<std::string> kAllCerts = {"ca",        "citizen", "encipher", "ku_c0",
                                            "ku_20",     "no_ku",   "sha512",   "times_utc",
                                            "times_gen", "negative"};

// The serial as the library must give it: openssl's hex magnitude, with a zero byte in front
// when its top bit is set.
Bytes SerialFromOpenssl(std::string hex) {
    if (!hex.empty() && hex[0] == '-') {
        hex.erase(0, 1);
    }
    Bytes bytes = FromHex(hex);
    if (!bytes.empty() && (bytes[0] & 0x80) != 0) {
        bytes.insert(bytes.begin(), 0);
    }
    return bytes;
}

std::string Name(bool subject, VR_CERT cert, int reverse, std::int32_t* lenOut = nullptr) {
    std::vector<char> buf(2048, 'X');
    std::int32_t len = static_cast<std::int32_t>(buf.size());
    const VR_RESULT rc = subject ? GetSubjectDN(cert, reverse, buf.data(), &len)
                                 : GetIssuerDN(cert, reverse, buf.data(), &len);
    EXPECT_EQ(rc, OK);
    if (lenOut != nullptr) {
        *lenOut = len;
    }
    EXPECT_GT(len, 0);
    EXPECT_EQ(buf[static_cast<std::size_t>(len) - 1], '\0') << "the length counts the zero";
    return std::string(buf.data(), static_cast<std::size_t>(len) - 1);
}

// A certificate object made in memory, for inputs no certificate authority would issue.
using ossl::X509Ptr;

X509Ptr CertWithNotAfter(int type, const std::string& text) {
    X509Ptr x(X509_new());
    ASN1_STRING* t = ASN1_STRING_type_new(type);
    ASN1_STRING_set(t, text.data(), static_cast<int>(text.size()));
    X509_set1_notAfter(x.get(), t);
    ASN1_STRING_free(t);
    return x;
}

// Weekday (0 = Sunday) of a civil date, by the days-from-civil count.
int Weekday(int year, int month, int day) {
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int yoe = year - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = static_cast<long>(era) * 146097 + doe - 719468;
    return static_cast<int>(((days % 7) + 11) % 7);
}

std::tm Sentinel() {
    std::tm t{};
    t.tm_year = -7777;
    t.tm_mon = -7;
    t.tm_mday = -7;
    t.tm_hour = -7;
    t.tm_min = -7;
    t.tm_sec = -7;
    t.tm_wday = 77;
    t.tm_yday = 777;
    return t;
}

// "2049-12-31 23:59:59Z" as openssl prints it with -dateopt iso_8601.
struct CivilTime {
    int year, month, day, hour, minute, second;
};
CivilTime ParseIso(const std::string& s) {
    CivilTime c{};
    EXPECT_EQ(std::sscanf(s.c_str(), "%d-%d-%d %d:%d:%d", &c.year, &c.month, &c.day, &c.hour,
                          &c.minute, &c.second),
              6)
        << s;
    return c;
}

void ExpectTime(const std::tm& t, const CivilTime& c, const std::string& what) {
    EXPECT_EQ(t.tm_year, c.year - 1900) << what;
    EXPECT_EQ(t.tm_mon, c.month - 1) << what;
    EXPECT_EQ(t.tm_mday, c.day) << what;
    EXPECT_EQ(t.tm_hour, c.hour) << what;
    EXPECT_EQ(t.tm_min, c.minute) << what;
    EXPECT_EQ(t.tm_sec, c.second) << what;
    const bool inRange32 = c.year >= 1970 && c.year <= 2037;
    if (inRange32) {
        EXPECT_EQ(t.tm_wday, Weekday(c.year, c.month, c.day)) << what;
    } else {
        EXPECT_EQ(t.tm_wday, 77) << what << ": left as it is outside the 32-bit range";
        EXPECT_EQ(t.tm_yday, 777) << what;
    }
}

} // namespace

TEST(CertDer, RoundTripsEveryCertificate) {
    for (const auto& name : kAllCerts) {
        SCOPED_TRACE(name);
        const Bytes der = ReadFileBytes(name + ".der");
        CertPtr cert = LoadCert(name);

        std::int32_t len = 0;
        EXPECT_EQ(Cert2DER(cert.get(), nullptr, &len), BASIC_BUFFER_TOO_SMALL);
        EXPECT_EQ(len, static_cast<std::int32_t>(der.size()));

        Bytes out(der.size() + 8, 0xEE);
        len = static_cast<std::int32_t>(der.size()) - 1;
        EXPECT_EQ(Cert2DER(cert.get(), out.data(), &len), BASIC_BUFFER_TOO_SMALL);
        EXPECT_EQ(out[0], 0xEE) << "nothing copied into a short buffer";

        len = static_cast<std::int32_t>(out.size());
        ASSERT_EQ(Cert2DER(cert.get(), out.data(), &len), OK);
        ASSERT_EQ(len, static_cast<std::int32_t>(der.size()));
        out.resize(der.size());
        EXPECT_EQ(out, der);
    }
}

TEST(CertDer, ParsesTheFirstCertificateAndRefusesOtherData) {
    Bytes der = ReadFileBytes("citizen.der");
    const std::size_t certSize = der.size();
    der.insert(der.end(), {0x30, 0x03, 0x02, 0x01, 0x05}); // trailing data is ignored
    VR_CERT cert = nullptr;
    ASSERT_EQ(DER2Cert(der.data(), static_cast<std::int32_t>(der.size()), &cert), OK);
    CertPtr owned(cert);
    std::int32_t len = 0;
    Cert2DER(cert, nullptr, &len);
    EXPECT_EQ(len, static_cast<std::int32_t>(certSize));

    const Bytes notCert = ReadFileBytes("bundle.p7b");
    const Bytes truncated(der.begin(), der.begin() + 100);
    for (const Bytes* input : {&notCert, &truncated}) {
        cert = reinterpret_cast<VR_CERT>(1);
        EXPECT_EQ(DER2Cert(input->data(), static_cast<std::int32_t>(input->size()), &cert),
                  CERT_PARSE_ERROR);
        EXPECT_EQ(cert, nullptr);
    }
    EXPECT_EQ(Cert2DER(nullptr, nullptr, &len), BASIC_ARGUMENTS_BAD);
    EXPECT_EQ(FreeCert(nullptr), BASIC_ARGUMENTS_BAD);
}

TEST(CertPkcs7, CopiesTheBundleInOrder) {
    const Bytes bundle = ReadFileBytes("bundle.p7b");
    const auto size = static_cast<std::int32_t>(bundle.size());
    std::vector<std::string> expected;
    {
        std::ifstream in(CertPath("bundle.subjects"), std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            expected.push_back(line);
        }
    }
    ASSERT_EQ(expected.size(), 3u);

    std::int32_t count = 7;
    EXPECT_EQ(P7B2Cert(bundle.data(), size, nullptr, &count), OK);
    EXPECT_EQ(count, 7) << "a type check only";

    VR_CERT certs[3] = {};
    count = 2;
    EXPECT_EQ(P7B2Cert(bundle.data(), size, certs, &count), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(certs[0], nullptr);

    count = 3;
    ASSERT_EQ(P7B2Cert(bundle.data(), size, certs, &count), OK);
    ASSERT_EQ(count, 3);
    for (int i = 0; i < 3; ++i) {
        CertPtr owned(certs[i]);
        EXPECT_EQ(Name(true, certs[i], 1), expected[static_cast<std::size_t>(i)]) << i;
    }
}

TEST(CertPkcs7, RefusesOtherDataAndEmptyBundles) {
    const Bytes cert = ReadFileBytes("citizen.der");
    const Bytes empty = ReadFileBytes("empty.p7b");
    VR_CERT certs[3] = {};
    std::int32_t count = 3;
    EXPECT_EQ(P7B2Cert(cert.data(), static_cast<std::int32_t>(cert.size()), certs, &count),
              CRYPTO_PKCS7_TYPE_ERROR);
    EXPECT_EQ(P7B2Cert(empty.data(), static_cast<std::int32_t>(empty.size()), certs, &count),
              CRYPTO_PKCS7_GET_SIGNER);
    EXPECT_EQ(P7B2Cert(empty.data(), static_cast<std::int32_t>(empty.size()), nullptr, &count), OK);
}

TEST(CertVerify, ChecksTheSignatureAgainstTheIssuerKey) {
    const CertPtr ca = LoadCert("ca");
    const CertPtr other = LoadCert("encipher");
    for (const auto& name : kAllCerts) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Expect(name).Get("verify_ca"), "1");
        const CertPtr cert = LoadCert(name);
        EXPECT_EQ(VerifyCert(cert.get(), ca.get()), OK);
        EXPECT_EQ(VerifyCert(cert.get(), other.get()), CERT_SIGNATURE_INVALID);
    }
}

TEST(CertVerify, CannotCheckWhatHasNoSignatureAlgorithm) {
    const CertPtr ca = LoadCert("ca");
    const X509Ptr blank(X509_new());
    EXPECT_EQ(VerifyCert(blank.get(), ca.get()), 0xFFFFFFFFu);
    EXPECT_EQ(VerifyCert(nullptr, ca.get()), BASIC_ARGUMENTS_BAD);
}

TEST(CertPublicKey, IsTheCertificatesKey) {
    for (const std::string name : {"ca", "citizen"}) {
        const CertPtr cert = LoadCert(name);
        VR_KEY key = nullptr;
        EXPECT_EQ(GetCertPublicKey(cert.get(), &key), OK);
        ASSERT_NE(key, nullptr);
        unsigned char* der = nullptr;
        const int size = i2d_PUBKEY(static_cast<EVP_PKEY*>(key), &der);
        EXPECT_EQ(Bytes(der, der + size), ReadFileBytes(name + ".pubkey.der")) << name;
        OPENSSL_free(der);
        EVP_PKEY_free(static_cast<EVP_PKEY*>(key));
    }
}

TEST(CertSignatureAlgorithm, IsDottedTextWithRoomForTheZero) {
    struct Case {
        const char* cert;
        const char* oid;
    } cases[] = {{"citizen", "1.2.840.113549.1.1.11"}, {"sha512", "1.2.840.113549.1.1.13"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cert);
        const CertPtr cert = LoadCert(c.cert);
        // openssl names the algorithm; the name must belong to the identifier we give.
        EXPECT_EQ(OBJ_ln2nid(Expect(c.cert).Get("sigalg").c_str()), OBJ_txt2nid(c.oid));

        std::int32_t len = 99;
        EXPECT_EQ(GetCertSignatureAlgorithm(cert.get(), nullptr, &len), OK);
        EXPECT_EQ(len, 21);
        char buf[32];
        std::memset(buf, 'X', sizeof buf);
        len = 21;
        EXPECT_EQ(GetCertSignatureAlgorithm(cert.get(), buf, &len), BASIC_BUFFER_TOO_SMALL);
        EXPECT_EQ(len, 21);
        EXPECT_EQ(buf[0], 'X');
        len = 22;
        ASSERT_EQ(GetCertSignatureAlgorithm(cert.get(), buf, &len), OK);
        EXPECT_EQ(len, 21);
        EXPECT_STREQ(buf, c.oid);
    }
}

TEST(CertSerial, IsAPositiveIntegersContent) {
    for (const auto& name : kAllCerts) {
        SCOPED_TRACE(name);
        const Bytes expected = SerialFromOpenssl(Expect(name).Get("serial"));
        const CertPtr cert = LoadCert(name);
        Bytes buf(64, 0xEE);
        std::int32_t len = static_cast<std::int32_t>(buf.size());
        ASSERT_EQ(GetCertSerialNumber(cert.get(), buf.data(), &len), OK);
        buf.resize(static_cast<std::size_t>(len));
        EXPECT_EQ(buf, expected);
    }
    // The two shapes that matter: a top bit needing a zero byte, and a plain one.
    const CertPtr topBit = LoadCert("encipher");
    const CertPtr plain = LoadCert("citizen");
    unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    std::int32_t len = 2;
    EXPECT_EQ(GetCertSerialNumber(topBit.get(), buf, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(buf[0], 0xEE);
    len = 3;
    ASSERT_EQ(GetCertSerialNumber(topBit.get(), buf, &len), OK);
    EXPECT_EQ(Bytes(buf, buf + len), (Bytes{0x00, 0x9A, 0x3F}));
    len = 2;
    ASSERT_EQ(GetCertSerialNumber(plain.get(), buf, &len), OK);
    EXPECT_EQ(Bytes(buf, buf + len), (Bytes{0x12, 0x34}));
    EXPECT_EQ(GetCertSerialNumber(plain.get(), nullptr, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 2);
}

TEST(CertNames, MatchOpensslInBothOrders) {
    for (const auto& name : kAllCerts) {
        SCOPED_TRACE(name);
        const Expect expect(name);
        const CertPtr cert = LoadCert(name);
        EXPECT_EQ(Name(true, cert.get(), 1), expect.Get("subject_rev"));
        EXPECT_EQ(Name(true, cert.get(), 0), expect.Get("subject_fwd"));
        EXPECT_EQ(Name(false, cert.get(), 1), expect.Get("issuer_rev"));
        EXPECT_EQ(Name(false, cert.get(), 0), expect.Get("issuer_fwd"));
    }
}

TEST(CertNames, ReportTheLengthWithTheZero) {
    const CertPtr cert = LoadCert("encipher");
    std::int32_t len = 0;
    EXPECT_EQ(Name(true, cert.get(), 1, &len), "CN=Test,O=Org,C=TW");
    EXPECT_EQ(len, 19);
    EXPECT_EQ(Name(true, cert.get(), 0), "C=TW,O=Org,CN=Test");

    char buf[19];
    std::memset(buf, 'X', sizeof buf);
    len = 18;
    EXPECT_EQ(GetSubjectDN(cert.get(), 1, buf, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 19);
    EXPECT_EQ(buf[0], 'X');
    len = 0;
    EXPECT_EQ(GetSubjectDN(cert.get(), 1, nullptr, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 19);
}

TEST(CertNames, ComeBackAsPlainUtf8) {
    const CertPtr citizen = LoadCert("citizen");
    const std::string subject = Name(true, citizen.get(), 1);
    EXPECT_EQ(subject.find('\\'), std::string::npos);
    EXPECT_EQ(subject.rfind("CN=\xE7\x8E\x8B", 0), 0u) << subject;

    // RFC 2253 specials come back as themselves, a comma in an organisation name included.
    const CertPtr specials = LoadCert("ku_c0");
    const std::string name = Name(true, specials.get(), 0);
    EXPECT_NE(name.find(",O=Org, Ltd,"), std::string::npos) << name;
    EXPECT_NE(name.find("CN=#1 \"Q\" <T> \\ x "), std::string::npos) << name;
}

TEST(CertNames, LongNamesAreCutWithoutOverrun) {
    X509Ptr x(X509_new());
    X509_NAME* name = X509_get_subject_name(x.get());
    const std::string longValue(701, 'a');
    const std::string chinese = "\xE7\x8E\x8B"; // printed as nine characters
    std::string many;
    for (int i = 0; i < 200; ++i) {
        many += chinese;
    }
    // Set as UTF8String directly: the usual helpers would refuse values past 64 characters.
    X509_NAME_add_entry_by_txt(name, "O", V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(longValue.data()), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(many.data()), -1, -1, 0);
    // Forward order: "O=" + 701 letters + ",CN=" then escapes, cut at 1024 printed characters.
    std::vector<char> buf(4096, 'X');
    std::int32_t len = static_cast<std::int32_t>(buf.size());
    ASSERT_EQ(GetSubjectDN(x.get(), 0, buf.data(), &len), OK);
    const std::size_t escapesKept = (1024 - 2 - 701 - 4) / 3; // whole "\E7"-style escapes
    const std::size_t partial = (1024 - 2 - 701 - 4) % 3;     // an escape cut in the middle
    ASSERT_EQ(partial, 2u);
    EXPECT_EQ(static_cast<std::size_t>(len), 2 + 701 + 4 + escapesKept + partial + 1);
    EXPECT_EQ(buf[static_cast<std::size_t>(len) - 1], '\0');
}

TEST(CertTimes, MatchOpensslsReading) {
    for (const auto& name : kAllCerts) {
        SCOPED_TRACE(name);
        const Expect expect(name);
        const CertPtr cert = LoadCert(name);
        std::tm before = Sentinel();
        std::tm after = Sentinel();
        EXPECT_EQ(GetNotBefore(cert.get(), &before), OK);
        EXPECT_EQ(GetNotAfter(cert.get(), &after), OK);
        ExpectTime(before, ParseIso(expect.Get("notBefore")), "notBefore");
        ExpectTime(after, ParseIso(expect.Get("notAfter")), "notAfter");
    }
    // The century rules of UTCTime, and a GeneralizedTime past 2049.
    const CertPtr utc = LoadCert("times_utc");
    const CertPtr gen = LoadCert("times_gen");
    std::tm t = Sentinel();
    GetNotAfter(utc.get(), &t);
    EXPECT_EQ(t.tm_year, 149);
    EXPECT_EQ(t.tm_mon, 11);
    EXPECT_EQ(t.tm_mday, 31);
    GetNotBefore(utc.get(), &t);
    EXPECT_EQ(t.tm_year, 50);
    GetNotAfter(gen.get(), &t);
    EXPECT_EQ(t.tm_year, 150);
}

TEST(CertTimes, ReadUnusualTextsWithinTheirLength) {
    struct Case {
        int type;
        std::string text;
        int year, mon, mday, hour, min, sec; // -7777 / -7: not written
        bool normalised;
    } cases[] = {
        {V_ASN1_GENERALIZEDTIME, "20300615120030.125Z", 130, 5, 15, 12, 0, 30, true},
        {V_ASN1_GENERALIZEDTIME, "20300615120030", 130, 5, 15, 12, 0, 30, true},
        {V_ASN1_GENERALIZEDTIME, "203006151201Z", 130, 5, 15, 12, 1, 0, true},
        {V_ASN1_UTCTIME, "3006151200+0800", 130, 5, 15, 12, 0, 0, true},
        {V_ASN1_UTCTIME, "300615120000-0130", 130, 5, 15, 12, 0, 0, true},
        // Malformed: written as far as it got, never normalised.
        {V_ASN1_GENERALIZEDTIME, "2030136", 130, -7, -7, -7, -7, -7, false},
        {V_ASN1_UTCTIME, "30061524", 130, 5, 15, -7, -7, -7, false},
        {V_ASN1_UTCTIME, "300615120000Q", 130, 5, 15, 12, 0, 0, false},
        {V_ASN1_GENERALIZEDTIME, "20", -7777, -7, -7, -7, -7, -7, false},
        {V_ASN1_GENERALIZEDTIME,
         std::string("2030\0"
                     "615120000Z",
                     15),
         -7777, -7, -7, -7, -7, -7, false},
        {V_ASN1_IA5STRING, "20300615120000Z", -7777, -7, -7, -7, -7, -7, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const X509Ptr x = CertWithNotAfter(c.type, c.text);
        std::tm t = Sentinel();
        EXPECT_EQ(GetNotAfter(x.get(), &t), OK);
        EXPECT_EQ(t.tm_year, c.year);
        EXPECT_EQ(t.tm_mon, c.mon);
        EXPECT_EQ(t.tm_mday, c.mday);
        EXPECT_EQ(t.tm_hour, c.hour);
        EXPECT_EQ(t.tm_min, c.min);
        EXPECT_EQ(t.tm_sec, c.sec);
        if (c.normalised) {
            EXPECT_EQ(t.tm_wday, Weekday(2030, 6, 15));
            EXPECT_EQ(t.tm_yday, 165);
        } else {
            EXPECT_EQ(t.tm_wday, 77);
        }
    }
}

TEST(CertNames, UnescapeOnlyWhatThePrinterEscaped) {
    // Values set directly, so the expected text is the value itself.
    struct Case {
        const char* value;
    } cases[] = {
        {" leading and trailing blanks "}, // escaped as "\ " at both ends
        {"back\\41slash"},                 // a backslash before hex digits stays a backslash
        {"line\nbreak"},                   // a control character printed as "\0A"
        {"a,b+c;d=e\"f<g>h#i"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        X509Ptr x(X509_new());
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", V_ASN1_UTF8STRING,
                                   reinterpret_cast<const unsigned char*>(c.value), -1, -1, 0);
        EXPECT_EQ(Name(true, x.get(), 1), std::string("CN=") + c.value);
    }
}
