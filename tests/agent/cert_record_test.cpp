// The certificate information record read from a real certificate through the token library,
// checked against what openssl read from the same certificate.
#include "record/CertFields.h"
#include "record/CertInfo.h"

#include "platform/codepage.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/local_time.h"
#include "tests/fixtures/test_module.h"
#include "vantrel.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

std::string CertFile(const std::string& name) {
    return NativePath(std::string(TESSIVO_TEST_CERTS_DIR) + "/" + name);
}

// NAME.expect as key=value lines (the first value of each key).
std::map<std::string, std::string> Expectations(const std::string& name) {
    std::map<std::string, std::string> out;
    std::ifstream in(CertFile(name + ".expect"));
    for (std::string line; std::getline(in, line);) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos)
            out.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return out;
}

std::u16string Utf16(const std::string& utf8) {
    char16_t buf[1024] = {};
    const int n = plat::MultiByteToWide(plat::kCpUtf8, 0, utf8.data(),
                                        static_cast<int>(utf8.size()), buf, 1024);
    return std::u16string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::u16string WidenBig5(const std::string& narrow) {
    char16_t buf[2048] = {};
    const int n = plat::MultiByteToWide(plat::kCpBig5, plat::kMbErrInvalidChars, narrow.data(),
                                        static_cast<int>(narrow.size()), buf, 2048);
    return std::u16string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class CertRecord : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fixtures::UseTaipeiTime(); }
    std::u16string RecordOf(const std::string& name) {
        const std::string der = fixtures::ReadFileText(CertFile(name + ".der"));
        VR_CERT cert = nullptr;
        EXPECT_EQ(DER2Cert(reinterpret_cast<const unsigned char*>(der.data()),
                           static_cast<std::int32_t>(der.size()), &cert),
                  OK)
            << name;
        if (cert == nullptr)
            return {};
        const tessivo::CertInfoFields fields = tessivo::ReadCertInfoFields(cert);
        FreeCert(cert);
        return tessivo::FormatCertInfo(fields, u"1234", WidenBig5);
    }
};

} // namespace

TEST_F(CertRecord, CitizenCertificateAsOpensslReadsIt) {
    const auto expect = Expectations("citizen");
    ASSERT_FALSE(expect.empty()) << "no citizen.expect";
    const std::u16string expected =
        u" EMAIL='" + Utf16(expect.at("san_email")) + u"' Usage='-128' SerialNo='1234'" +
        u" SubjectDN='" + Utf16(expect.at("subject_rev")) + u"' IssuerDN='" +
        Utf16(expect.at("issuer_rev")) + u"'" +
        u" BeginDate='Wed Jan 01 08:00:00 2020' EndDate='Tue Jan 01 07:59:59 2036'"
        u" ForSign='Y' OID='2.16.886.1.100.3.1.1' Type='1' TypeString='自然人憑證' ID='1234'"
        u" Ext='正卡' HolderRank='primary' GroupID='258' CertTypeID='7' UID='UID-0001'"
        u" CardID='TP03000000000001' CAIssuers='" +
        Utf16(expect.at("ca_issuers")) + u"' AuthorityKeyId='" + Utf16(Lower(expect.at("aki"))) +
        u"' SubjectKeyId='" + Utf16(Lower(expect.at("ski"))) +
        u"' SignAlgorithm='sha256RSA' Policy='CLASS2' OCSP='" + Utf16(expect.at("ocsp")) +
        u"' CRL='" + Utf16(expect.at("crldp")) + u"'";
    EXPECT_EQ(RecordOf("citizen"), expected);
}

TEST_F(CertRecord, EdgeCertificate) {
    // Key usage 0xC0, a subject type no table knows, values of awkward types, a first policy
    // outside the table, no OCSP.
    const std::u16string record = RecordOf("ku_c0");
    EXPECT_NE(record.find(u" Usage='-64' SerialNo='1234'"), std::u16string::npos);
    EXPECT_NE(record.find(u" OID='2.16.886.1.100.3.9.9' Type='0' TypeString='其他憑證'"),
              std::u16string::npos);
    EXPECT_NE(record.find(u" Policy='1.3.6.1.4.1.54321.1.2'"), std::u16string::npos);
    EXPECT_EQ(record.find(u" OCSP="), std::u16string::npos);
    EXPECT_EQ(record.find(u" HolderRank="), std::u16string::npos);
    EXPECT_EQ(record.back(), u'\'');
}

TEST_F(CertRecord, NamesOutsideBig5AndOfAnyLength) {
    EXPECT_EQ(WidenBig5(tessivo::Utf8NameToBig5("CN=王小明")), u"CN=王小明");
    // Hangul is not in Big5.
    EXPECT_EQ(WidenBig5(tessivo::Utf8NameToBig5("CN=a\xED\x95\x9C"
                                                "b")),
              u"CN=a?b");
    const std::string longName = "CN=" + std::string(600, 'x') + "王";
    EXPECT_EQ(WidenBig5(tessivo::Utf8NameToBig5(longName)), Utf16(longName));
    EXPECT_EQ(tessivo::Utf8NameToBig5(""), "");
}
