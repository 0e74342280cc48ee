// Certificate extensions and the subject directory attributes, against openssl's reading.
#include "openssl_owned.h"
#include "tests/token/test_certs.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using namespace cert_test;

namespace {

const std::vector<std::string> kAllCerts = {"ca",        "citizen", "encipher", "ku_c0",
                                            "ku_20",     "no_ku",   "sha512",   "times_utc",
                                            "times_gen", "negative"};

using ossl::X509Ptr;

// A certificate object holding one extension with the given raw value.
X509Ptr CertWithExtension(const char* oid, const Bytes& value) {
    X509Ptr x(X509_new());
    ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
    ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(data, value.data(), static_cast<int>(value.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 0, data);
    X509_add_ext(x.get(), ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(data);
    ASN1_OBJECT_free(obj);
    return x;
}

// Calls a copy-out accessor with a roomy buffer; the result's bytes, or the code in rc.
template <typename Fn> Bytes Fetch(Fn fn, VR_RESULT& rc) {
    std::vector<char> buf(1024, 0);
    std::int32_t len = static_cast<std::int32_t>(buf.size());
    rc = fn(buf.data(), &len);
    if (rc != OK) {
        return {};
    }
    return Bytes(buf.begin(), buf.begin() + len);
}

template <typename Fn> Bytes FetchOk(Fn fn) {
    VR_RESULT rc = 0;
    Bytes value = Fetch(fn, rc);
    EXPECT_EQ(rc, OK);
    return value;
}

// The content of the key usage bit string from the raw extension value (03 LL UU bytes...).
Bytes KeyUsageBits(const std::string& rawHex) {
    return FromHex(rawHex.substr(6));
}

// What a subject directory attribute must give, from asn1parse's "TYPE:VALUE".
struct AttributeExpectation {
    VR_RESULT rc = OK;
    Bytes value;
};
AttributeExpectation FromAsn1Parse(const std::string& reading) {
    const std::string kind = reading.substr(0, reading.find(':'));
    const std::string text = reading.substr(reading.find(':') + 1);
    AttributeExpectation e;
    if (kind == "OBJECT" || kind == "PRINTABLESTRING" || kind == "UTF8STRING") {
        e.value = AsBytes(text);
    } else if (kind == "OCTET STRING") {
        e.value = FromHex(text);
    } else if (kind == "INTEGER") {
        const Bytes big = FromHex(text);
        e.value.assign(big.rbegin(), big.rend());
        e.value.resize(4, 0); // the 32-bit field: length 4 whatever the content's length
    } else {
        e.rc = CERT_DATA_TYPE_INVALID;
    }
    return e;
}

} // namespace

TEST(CertExtensionDer, GivesEveryExtensionAsOpensslSeesIt) {
    for (const auto& name : kAllCerts) {
        SCOPED_TRACE(name);
        const CertPtr cert = LoadCert(name);
        const auto extensions = Expect(name).WithPrefix("ext.");
        ASSERT_FALSE(extensions.empty());
        for (const auto& [oid, reading] : extensions) {
            SCOPED_TRACE(oid);
            const Bytes expected = FromHex(reading.substr(2));
            std::int32_t critical = 9;
            Bytes buf(1024);
            std::int32_t len = static_cast<std::int32_t>(buf.size());
            ASSERT_EQ(GetExtensionDER(cert.get(), oid.c_str(), &critical, buf.data(), &len), OK);
            buf.resize(static_cast<std::size_t>(len));
            EXPECT_EQ(buf, expected);
            EXPECT_EQ(critical, reading[0] == '1' ? 1 : 0);
        }
    }
}

TEST(CertExtensionDer, CriticalKeyUsageAndMisses) {
    const CertPtr cert = LoadCert("ku_c0");
    unsigned char buf[8] = {};
    std::int32_t critical = 0;
    std::int32_t len = 3;
    EXPECT_EQ(GetExtensionDER(cert.get(), "2.5.29.15", &critical, buf, &len),
              BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(critical, 1) << "set also when the buffer is short";
    len = 4;
    ASSERT_EQ(GetExtensionDER(cert.get(), "2.5.29.15", &critical, buf, &len), OK);
    EXPECT_EQ(Bytes(buf, buf + len), (Bytes{0x03, 0x02, 0x06, 0xC0}));

    const CertPtr noKu = LoadCert("no_ku");
    for (const char* oid : {"2.5.29.15", "keyUsage", "not an oid", "1.2.3.4"}) {
        len = 8;
        EXPECT_EQ(GetExtensionDER(noKu.get(), oid, &critical, buf, &len), CERT_NO_SUCH_EXTENSION)
            << oid;
    }
}

TEST(CertSubjectAltName, GivesTheFirstNamesContentOn) {
    const CertPtr citizen = LoadCert("citizen");
    const Bytes email =
        FetchOk([&](char* b, std::int32_t* l) { return GetSubjectAltName(citizen.get(), b, l); });
    EXPECT_EQ(Text(email), Expect("citizen").Get("san_email"));
    EXPECT_EQ(email.size(), 16u);

    // Further names follow as their encodings.
    const CertPtr two = LoadCert("ku_c0");
    const Expect expect("ku_c0");
    const Bytes value =
        FetchOk([&](char* b, std::int32_t* l) { return GetSubjectAltName(two.get(), b, l); });
    const Bytes raw = FromHex(expect.Get("ext.2.5.29.17").substr(2));
    EXPECT_EQ(value, Bytes(raw.begin() + 4, raw.end()));
    EXPECT_EQ(Text(value).rfind(expect.Get("san_email"), 0), 0u);

    std::int32_t len = 15;
    char buf[16];
    EXPECT_EQ(GetSubjectAltName(citizen.get(), buf, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 16);
    const CertPtr none = LoadCert("no_ku");
    len = 16;
    EXPECT_EQ(GetSubjectAltName(none.get(), buf, &len), CERT_NO_SUCH_EXTENSION);
    EXPECT_EQ(len, 16);
}

TEST(CertSubjectAltName, DecodesLongFormsAndRefusesShortValues) {
    // One rfc822Name of 200 characters: both lengths need the long form.
    const std::string address = std::string(190, 'm') + "@example.t";
    Bytes value = {0x30, 0x81, 0xCB, 0x81, 0x81, 0xC8};
    value.insert(value.end(), address.begin(), address.end());
    const X509Ptr longForm = CertWithExtension("2.5.29.17", value);
    EXPECT_EQ(Text(FetchOk([&](char* b, std::int32_t* l) {
                  return GetSubjectAltName(longForm.get(), b, l);
              })),
              address);

    for (const Bytes& shortValue : {Bytes{0x30, 0x00}, Bytes{0x30, 0x01, 0x81}, Bytes{0x30}}) {
        const X509Ptr x = CertWithExtension("2.5.29.17", shortValue);
        char buf[64];
        std::int32_t len = 64;
        EXPECT_EQ(GetSubjectAltName(x.get(), buf, &len), CERT_PARSE_ERROR);
        EXPECT_EQ(len, 64);
    }
    // Exactly the two headers: an empty first name.
    const X509Ptr empty = CertWithExtension("2.5.29.17", Bytes{0x30, 0x02, 0x81, 0x00});
    char buf[4];
    std::int32_t len = 4;
    EXPECT_EQ(GetSubjectAltName(empty.get(), buf, &len), OK);
    EXPECT_EQ(len, 0);
}

TEST(CertCrlDistributionPoint, ByIndex) {
    for (const std::string name : {"citizen", "ku_c0"}) {
        SCOPED_TRACE(name);
        const CertPtr cert = LoadCert(name);
        const auto urls = Expect(name).All("crldp");
        ASSERT_FALSE(urls.empty());
        for (std::size_t i = 0; i < urls.size(); ++i) {
            EXPECT_EQ(Text(FetchOk([&](char* b, std::int32_t* l) {
                          return GetCRLDistributionPoint(cert.get(), static_cast<int>(i), b, l);
                      })),
                      urls[i]);
        }
        for (const int index : {static_cast<int>(urls.size()), -1}) {
            VR_RESULT rc = OK;
            Fetch([&](char* b,
                      std::int32_t* l) { return GetCRLDistributionPoint(cert.get(), index, b, l); },
                  rc);
            EXPECT_EQ(rc, CERT_INDEX_ERROR) << index;
        }
    }
    const CertPtr none = LoadCert("no_ku");
    char buf[8];
    std::int32_t len = 8;
    EXPECT_EQ(GetCRLDistributionPoint(none.get(), 0, buf, &len), CERT_NO_SUCH_EXTENSION);
}

TEST(CertKeyIdentifiers, MatchOpenssl) {
    for (const auto& name : kAllCerts) {
        SCOPED_TRACE(name);
        const Expect expect(name);
        const CertPtr cert = LoadCert(name);
        VR_RESULT rc = OK;
        const Bytes ski = Fetch(
            [&](char* b, std::int32_t* l) {
                return GetSubjectKeyIdentifier(cert.get(), reinterpret_cast<unsigned char*>(b), l);
            },
            rc);
        if (expect.Has("ski")) {
            EXPECT_EQ(rc, OK);
            EXPECT_EQ(ski, FromHex(expect.Get("ski")));
        } else {
            EXPECT_EQ(rc, CERT_NO_SUCH_EXTENSION);
        }
        const Bytes aki = Fetch(
            [&](char* b, std::int32_t* l) {
                return GetCertAuthorityKeyIdentifier(cert.get(),
                                                     reinterpret_cast<unsigned char*>(b), l);
            },
            rc);
        if (expect.Has("aki")) {
            EXPECT_EQ(rc, OK);
            EXPECT_EQ(aki, FromHex(expect.Get("aki")));
        } else {
            EXPECT_EQ(rc, CERT_NO_SUCH_EXTENSION);
        }
    }
}

TEST(CertKeyUsage, BytesAndTests) {
    struct Case {
        const char* cert;
        Bytes bits; // empty: no key usage
        VR_RESULT signature, encipherment;
    } cases[] = {
        {"citizen", {0x80}, 1, 0}, {"encipher", {0x30}, 0, 1}, {"ku_c0", {0xC0}, 1, 0},
        {"ku_20", {0x20}, 0, 1},   {"no_ku", {}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cert);
        const CertPtr cert = LoadCert(c.cert);
        const Expect expect(c.cert);
        unsigned char buf[4] = {};
        std::int32_t len = 4;
        if (c.bits.empty()) {
            EXPECT_FALSE(expect.Has("ext.2.5.29.15"));
            EXPECT_EQ(GetKeyUsage(cert.get(), buf, &len), CERT_NO_SUCH_EXTENSION);
            EXPECT_EQ(GetKeyUsage(cert.get(), nullptr, nullptr), CERT_NO_SUCH_EXTENSION);
        } else {
            ASSERT_EQ(GetKeyUsage(cert.get(), buf, &len), OK);
            const Bytes bits(buf, buf + len);
            EXPECT_EQ(bits, KeyUsageBits(expect.Get("ext.2.5.29.15").substr(2)));
            EXPECT_EQ(bits, c.bits);
            EXPECT_EQ(GetKeyUsage(cert.get(), nullptr, nullptr), BASIC_BUFFER_TOO_SMALL);
            len = 0;
            EXPECT_EQ(GetKeyUsage(cert.get(), nullptr, &len), BASIC_BUFFER_TOO_SMALL);
            EXPECT_EQ(len, 1);
        }
        EXPECT_EQ(IsKeyUsageSignature(cert.get()), c.signature);
        EXPECT_EQ(IsKeyUsageEncipherment(cert.get()), c.encipherment);
    }
}

TEST(CertAuthorityInfoAccess, ByMethod) {
    const CertPtr citizen = LoadCert("citizen");
    const Expect expect("citizen");
    EXPECT_EQ(
        Text(FetchOk([&](char* b, std::int32_t* l) { return GetCAIssuers(citizen.get(), b, l); })),
        expect.Get("ca_issuers"));
    EXPECT_EQ(Text(FetchOk([&](char* b, std::int32_t* l) { return GetOCSP(citizen.get(), b, l); })),
              expect.Get("ocsp"));

    const CertPtr issuersOnly = LoadCert("ku_c0");
    ASSERT_FALSE(Expect("ku_c0").Has("ocsp"));
    char buf[256];
    std::int32_t len = sizeof buf;
    EXPECT_EQ(GetOCSP(issuersOnly.get(), buf, &len), CERT_NO_SUCH_EXTENSION);
    EXPECT_EQ(GetCAIssuers(issuersOnly.get(), buf, &len), OK);
    EXPECT_EQ(GetAuthorityInfoAccess(citizen.get(), "caIssuers", buf, &len), CERT_TO_OBJ_ERROR);
    const CertPtr none = LoadCert("no_ku");
    EXPECT_EQ(GetCAIssuers(none.get(), buf, &len), CERT_NO_SUCH_EXTENSION);
}

TEST(CertPolicy, FirstPolicyWithRoomForTheZero) {
    for (const std::string name : {"citizen", "ku_c0"}) {
        SCOPED_TRACE(name);
        const CertPtr cert = LoadCert(name);
        const std::string expected = Expect(name).Get("policy");
        char buf[64];
        std::int32_t len = sizeof buf;
        ASSERT_EQ(GetCertPolicyOID(cert.get(), buf, &len), OK);
        EXPECT_EQ(len, static_cast<std::int32_t>(expected.size()));
        EXPECT_STREQ(buf, expected.c_str());
    }
    // A policy of n characters needs a capacity of n + 1.
    const CertPtr citizen = LoadCert("citizen");
    const std::string policy = Expect("citizen").Get("policy");
    ASSERT_EQ(policy, "2.16.886.101.0.3.2");
    const auto n = static_cast<std::int32_t>(policy.size());
    char buf[32];
    std::memset(buf, 'X', sizeof buf);
    std::int32_t len = n;
    EXPECT_EQ(GetCertPolicyOID(citizen.get(), buf, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, n);
    EXPECT_EQ(buf[0], 'X');
    len = n + 1;
    ASSERT_EQ(GetCertPolicyOID(citizen.get(), buf, &len), OK);
    EXPECT_EQ(len, n);
    EXPECT_EQ(std::string(buf), policy);
    const CertPtr none = LoadCert("no_ku");
    EXPECT_EQ(GetCertPolicyOID(none.get(), buf, &len), CERT_NO_SUCH_EXTENSION);
}

TEST(CertDirectoryAttributes, EveryAttributeAsAsn1ParseReadsIt) {
    for (const std::string name : {"citizen", "ku_c0"}) {
        const CertPtr cert = LoadCert(name);
        const auto attributes = Expect(name).WithPrefix("sda.");
        ASSERT_GE(attributes.size(), 5u);
        for (const auto& [oid, reading] : attributes) {
            SCOPED_TRACE(name + " " + oid + " " + reading);
            const AttributeExpectation e = FromAsn1Parse(reading);
            VR_RESULT rc = OK;
            Bytes value = Fetch(
                [&, &oid = oid](char* b, std::int32_t* l) {
                    return GetSubjectDirectoryAttribute(cert.get(), oid.c_str(), b, l);
                },
                rc);
            ASSERT_EQ(rc, e.rc);
            if (rc == OK) {
                EXPECT_EQ(value, e.value);
            }
        }
    }
}

TEST(CertDirectoryAttributes, TaiwanAttributeFunctions) {
    using Getter = VR_RESULT (*)(VR_CERT, char*, std::int32_t*);
    const struct {
        Getter fn;
        const char* oid;
    } family[] = {
        {GetSubjectTypeOID, "2.16.886.1.100.2.1"},
        {GetSubjectHolderRank, "2.16.886.1.100.2.2"},
        {GetTailOfCitizenID, "2.16.886.1.100.2.51"},
        {GetUniformOrganizationID, "2.16.886.1.100.2.101"},
        {GetEntityOID, "2.16.886.1.100.2.102"},
        {GetGroupID, "2.16.886.1.100.2.200"},
        {GetCertTypeID, "2.16.886.1.100.2.201"},
        {GetUID, "2.16.886.1.100.2.202"},
        {GetCardID, "2.16.886.1.100.2.204"},
    };
    for (const std::string name : {"citizen", "ku_c0", "no_ku"}) {
        const CertPtr cert = LoadCert(name);
        const Expect expect(name);
        for (const auto& member : family) {
            SCOPED_TRACE(name + " " + member.oid);
            VR_RESULT rc = OK;
            const Bytes value =
                Fetch([&](char* b, std::int32_t* l) { return member.fn(cert.get(), b, l); }, rc);
            const std::string reading = expect.Get(std::string("sda.") + member.oid);
            if (reading.empty()) {
                EXPECT_EQ(rc, CERT_NO_SUCH_EXTENSION);
                continue;
            }
            const AttributeExpectation e = FromAsn1Parse(reading);
            EXPECT_EQ(rc, e.rc);
            if (rc == OK) {
                EXPECT_EQ(value, e.value);
            }
        }
    }
    // The citizen certificate's values, as the agent reads them.
    const CertPtr citizen = LoadCert("citizen");
    char buf[32] = {};
    std::int32_t len = sizeof buf;
    ASSERT_EQ(GetSubjectTypeOID(citizen.get(), buf, &len), OK);
    EXPECT_EQ(std::string(buf, len), "2.16.886.1.100.3.1.1");
}

TEST(CertDirectoryAttributes, IntegerForm) {
    const CertPtr citizen = LoadCert("citizen"); // 2.16.886.1.100.2.200 = INTEGER 01 02
    unsigned char buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    std::int32_t len = 8;
    ASSERT_EQ(GetGroupID(citizen.get(), reinterpret_cast<char*>(buf), &len), OK);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{0x02, 0x01, 0x00, 0x00, 0xEE}));

    len = 3;
    EXPECT_EQ(GetGroupID(citizen.get(), reinterpret_cast<char*>(buf), &len),
              BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 4);
    len = 99;
    EXPECT_EQ(GetGroupID(citizen.get(), nullptr, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 4);

    // Five content bytes: refused below a capacity of five, never written past it.
    const CertPtr edge = LoadCert("ku_c0");
    std::memset(buf, 0xEE, sizeof buf);
    len = 4;
    EXPECT_EQ(GetGroupID(edge.get(), reinterpret_cast<char*>(buf), &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(buf[0], 0xEE);
    len = 5;
    ASSERT_EQ(GetGroupID(edge.get(), reinterpret_cast<char*>(buf), &len), OK);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0x05, 0x04, 0x03, 0x02, 0x01, 0xEE}));
}

TEST(CertDirectoryAttributes, ByteFormsAndRefusals) {
    const CertPtr citizen = LoadCert("citizen"); // 2.16.886.1.100.2.51 = PrintableString "1234"
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    std::int32_t len = 8;
    ASSERT_EQ(GetTailOfCitizenID(citizen.get(), buf, &len), OK);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(std::string(buf, 5), "1234X") << "no terminator written";
    len = 3;
    EXPECT_EQ(GetTailOfCitizenID(citizen.get(), buf, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 4);
    len = 77;
    EXPECT_EQ(GetTailOfCitizenID(citizen.get(), nullptr, &len), OK) << "a presence test";
    EXPECT_EQ(len, 77);
    EXPECT_EQ(GetEntityOID(citizen.get(), nullptr, &len), CERT_NO_SUCH_EXTENSION);

    const CertPtr edge = LoadCert("ku_c0");
    len = 8;
    EXPECT_EQ(GetUniformOrganizationID(edge.get(), buf, &len), CERT_DATA_TYPE_INVALID); // BOOLEAN
    EXPECT_EQ(GetCardID(edge.get(), buf, &len), CERT_DATA_TYPE_INVALID);                // IA5String
    EXPECT_EQ(GetSubjectDirectoryAttribute(citizen.get(), "not an oid", buf, &len),
              CERT_NO_SUCH_EXTENSION);

    const CertPtr none = LoadCert("no_ku");
    len = 8;
    EXPECT_EQ(GetSubjectTypeOID(none.get(), buf, &len), CERT_NO_SUCH_EXTENSION);
    EXPECT_EQ(len, 8);

    // A value that is not a SEQUENCE OF Attribute counts as missing.
    const X509Ptr broken = CertWithExtension("2.5.29.9", Bytes{0x30, 0x05, 0x30, 0x03, 0x06});
    EXPECT_EQ(GetSubjectTypeOID(broken.get(), buf, &len), CERT_NO_SUCH_EXTENSION);
}

namespace {

void AddExtension(X509* x, const char* oid, const Bytes& value) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
    ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(data, value.data(), static_cast<int>(value.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 0, data);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(data);
    ASN1_OBJECT_free(obj);
}

// A value of the given size that starts with a SEQUENCE header of the matching long form.
Bytes OversizedSequence(std::size_t size) {
    const std::size_t content = size - 4;
    Bytes value = {0x30, 0x82, static_cast<unsigned char>(content >> 8),
                   static_cast<unsigned char>(content & 0xFF)};
    value.resize(size, 0x41);
    return value;
}

// Name "CN=AB" (RDNSequence) for general names of type directoryName.
const Bytes kNameAB = {0x30, 0x0D, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03,
                       0x55, 0x04, 0x03, 0x0C, 0x02, 0x41, 0x42};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

} // namespace

TEST(CertExtensionShapes, UnusualValuesGiveTheirCodes) {
    using Call = std::function<VR_RESULT(VR_CERT, char*, std::int32_t*)>;
    const Call keyUsage = [](VR_CERT c, char* b, std::int32_t* l) {
        return GetKeyUsage(c, reinterpret_cast<unsigned char*>(b), l);
    };
    const Call distributionPoint = [](VR_CERT c, char* b, std::int32_t* l) {
        return GetCRLDistributionPoint(c, 0, b, l);
    };
    const Call authorityKeyId = [](VR_CERT c, char* b, std::int32_t* l) {
        return GetCertAuthorityKeyIdentifier(c, reinterpret_cast<unsigned char*>(b), l);
    };
    const Bytes uriCrlIssuer = {0x30, 0x07, 0x30, 0x05, 0xA2, 0x03, 0x86, 0x01, 0x78};
    const Bytes relativeName = Concat({{0x30, 0x11, 0x30, 0x0F, 0xA0, 0x0D, 0xA1, 0x0B},
                                       Bytes(kNameAB.begin() + 4, kNameAB.end())});
    const Bytes directoryName =
        Concat({{0x30, 0x17, 0x30, 0x15, 0xA0, 0x13, 0xA0, 0x11, 0xA4, 0x0F}, kNameAB});
    const Bytes issuersAsName = Concat({{0x30, 0x1D, 0x30, 0x1B, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x05,
                                         0x05, 0x07, 0x30, 0x02, 0xA4, 0x0F},
                                        kNameAB});
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, Bytes>> extensions;
        Call call;
        VR_RESULT rc;
        std::int32_t len; // the length word afterwards; 64 = untouched
    } cases[] = {
        {"key usage present twice",
         {{"2.5.29.15", {0x03, 0x02, 0x07, 0x80}}, {"2.5.29.15", {0x03, 0x02, 0x07, 0x80}}},
         keyUsage,
         CERT_NO_SUCH_EXTENSION,
         64},
        {"key usage not a bit string",
         {{"2.5.29.15", {0x04, 0x01, 0x80}}},
         keyUsage,
         CERT_NO_SUCH_EXTENSION,
         64},
        {"key usage without a byte", {{"2.5.29.15", {0x03, 0x01, 0x00}}}, keyUsage, OK, 0},
        {"distribution point with only a CRL issuer",
         {{"2.5.29.31", uriCrlIssuer}},
         distributionPoint,
         CERT_PARSE_ERROR,
         64},
        {"distribution point relative to the CRL issuer",
         {{"2.5.29.31", relativeName}},
         distributionPoint,
         CERT_PARSE_ERROR,
         64},
        {"distribution point named by a directory name",
         {{"2.5.29.31", directoryName}},
         distributionPoint,
         CERT_PARSE_ERROR,
         64},
        {"empty distribution point list",
         {{"2.5.29.31", {0x30, 0x00}}},
         distributionPoint,
         CERT_INDEX_ERROR,
         64},
        {"CA issuers named by a directory name",
         {{"1.3.6.1.5.5.7.1.1", issuersAsName}},
         GetCAIssuers,
         CERT_PARSE_ERROR,
         64},
        {"authority key identifier without key id",
         {{"2.5.29.35", {0x30, 0x00}}},
         authorityKeyId,
         CERT_NO_SUCH_EXTENSION,
         64},
        {"empty policy list",
         {{"2.5.29.32", {0x30, 0x00}}},
         GetCertPolicyOID,
         CERT_STACK_ERROR,
         64},
        {"alternative name over 256 bytes",
         {{"2.5.29.17", OversizedSequence(257)}},
         GetSubjectAltName,
         BASIC_BUFFER_TOO_SMALL,
         64},
        {"directory attributes over 1000 bytes",
         {{"2.5.29.9", OversizedSequence(1001)}},
         GetSubjectTypeOID,
         BASIC_BUFFER_TOO_SMALL,
         64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        X509Ptr x(X509_new());
        for (const auto& [oid, value] : c.extensions) {
            AddExtension(x.get(), oid, value);
        }
        char buf[64];
        std::int32_t len = sizeof buf;
        EXPECT_EQ(c.call(x.get(), buf, &len), c.rc);
        EXPECT_EQ(len, c.len);
    }

    // A repeated key usage: the raw value is still the first, the tests find none; a key usage
    // without a byte sets no bit.
    X509Ptr twice(X509_new());
    AddExtension(twice.get(), "2.5.29.15", {0x03, 0x02, 0x07, 0x80});
    AddExtension(twice.get(), "2.5.29.15", {0x03, 0x02, 0x05, 0x20});
    unsigned char raw[8];
    std::int32_t critical = 9;
    std::int32_t len = sizeof raw;
    ASSERT_EQ(GetExtensionDER(twice.get(), "2.5.29.15", &critical, raw, &len), OK);
    EXPECT_EQ(Bytes(raw, raw + len), (Bytes{0x03, 0x02, 0x07, 0x80}));
    EXPECT_EQ(critical, 0);
    EXPECT_EQ(IsKeyUsageSignature(twice.get()), 0);
    EXPECT_EQ(IsKeyUsageEncipherment(twice.get()), 0);
    const X509Ptr noByte = CertWithExtension("2.5.29.15", {0x03, 0x01, 0x00});
    EXPECT_EQ(IsKeyUsageSignature(noByte.get()), 0);
    EXPECT_EQ(IsKeyUsageEncipherment(noByte.get()), 0);
}
