#include "record/CertInfo.h"

#include "platform/codepage.h"
#include "tests/fixtures/local_time.h"

#include <gtest/gtest.h>

#include <string>

using tessivo::CertInfoFields;
using tessivo::FormatCertInfo;

namespace {

// Narrow values are code page 950 where the agent runs; invalid sequences give an empty value.
std::u16string WidenBig5(const std::string& narrow) {
    if (narrow.empty())
        return {};
    char16_t buf[1024] = {};
    const int n = plat::MultiByteToWide(plat::kCpBig5, plat::kMbErrInvalidChars, narrow.data(),
                                        static_cast<int>(narrow.size()), buf, 1024);
    return n > 0 ? std::u16string(buf, static_cast<std::size_t>(n)) : std::u16string();
}

std::u16string Format(const CertInfoFields& f, const std::u16string& serial = u"01a3") {
    return FormatCertInfo(f, serial, WidenBig5);
}

class CertInfo : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fixtures::UseTaipeiTime(); }
};

// A citizen certificate with every attribute the record knows.
CertInfoFields CitizenFields() {
    CertInfoFields f;
    f.email = std::string("holder@example.tw");
    f.keyUsage = std::string("\xC0", 1);
    f.subjectDN = std::string("CN=\xB3\xAF\xA4\x6A\xA9\xFA,C=TW"); // 陳大明 in Big5
    f.issuerDN = std::string("CN=MOICA,O=Gov,C=TW");
    f.notBefore = fixtures::CalendarTime(2019, 1, 2, 2, 3, 55);
    f.notAfter = fixtures::CalendarTime(2025, 6, 30, 16, 0, 0);
    f.forSign = true;
    f.subjectTypeOid = std::string("2.16.886.1.100.3.1.1");
    f.citizenIdTail = std::string("1234");
    f.holderRank = std::string("primary");
    f.entityOid = std::string("E1");
    f.uniformOrganizationId = std::string("U2");
    f.groupId = -5;
    f.certTypeId = 7;
    f.uid = std::string("uid1");
    f.cardId = std::string("TP03");
    f.caIssuers = std::string("http://ca/ca.crt");
    f.authorityKeyId = std::string("\x00\xAB\x10", 3);
    f.subjectKeyId = std::string();
    f.signatureAlgorithm = std::string("1.2.840.113549.1.1.11");
    f.policy = std::string("2.16.886.101.0.3.2");
    f.ocsp = std::string("http://ocsp");
    f.crl = std::string("http://crl/1.crl");
    return f;
}

} // namespace

TEST_F(CertInfo, FullCitizenRecordInOrder) {
    EXPECT_EQ(Format(CitizenFields()),
              u" EMAIL='holder@example.tw' Usage='-64' SerialNo='01a3'"
              u" SubjectDN='CN=陳大明,C=TW' IssuerDN='CN=MOICA,O=Gov,C=TW'"
              u" BeginDate='Wed Jan 02 10:03:55 2019' EndDate='Tue Jul 01 00:00:00 2025'"
              u" ForSign='Y' OID='2.16.886.1.100.3.1.1' Type='1' TypeString='自然人憑證'"
              u" ID='1234' Ext='正卡' HolderRank='primary' ID='E1' ID='U2'"
              u" GroupID='-5' CertTypeID='7' UID='uid1' CardID='TP03'"
              u" CAIssuers='http://ca/ca.crt' AuthorityKeyId='00ab10' SubjectKeyId=''"
              u" SignAlgorithm='sha256RSA' Policy='CLASS2' OCSP='http://ocsp'"
              u" CRL='http://crl/1.crl'");
}

TEST_F(CertInfo, NothingReadGivesSerialOnly) {
    EXPECT_EQ(Format(CertInfoFields{}, u""), u" SerialNo=''");
}

// Without a subject-type identifier the whole group (OID to the last ID) is left out, while
// the attributes after it are still written.
TEST_F(CertInfo, SubjectTypeGroupNeedsItsIdentifier) {
    CertInfoFields f = CitizenFields();
    f.subjectTypeOid.reset();
    const std::u16string record = Format(f);
    for (const char16_t* name :
         {u" OID=", u" Type=", u" TypeString=", u" ID=", u" Ext=", u" HolderRank="})
        EXPECT_EQ(record.find(name), std::u16string::npos) << std::string(name, name + 5);
    EXPECT_NE(record.find(u"ForSign='Y' GroupID='-5' CertTypeID='7'"), std::u16string::npos);
}

TEST_F(CertInfo, SubjectTypeGroupVariants) {
    struct Case {
        const char* typeOid;
        std::optional<std::string> rank;
        const char16_t* group;
    };
    const Case cases[] = {
        {"2.16.886.1.100.3.2.2.1.1", std::string("secondary"),
         u" OID='2.16.886.1.100.3.2.2.1.1' Type='4' TypeString='公司憑證' Ext='副卡'"
         u" HolderRank='secondary' ID='E1' ID='U2' "},
        {"2.16.886.1.100.3.1.7", std::string("temporary"),
         u" OID='2.16.886.1.100.3.1.7' Type='13' TypeString='醫事人員憑證' Ext='臨時卡'"
         u" HolderRank='temporary' ID='E1' ID='U2' "},
        {"2.16.886.1.100.3.9", std::string("Primary"),
         u" OID='2.16.886.1.100.3.9' Type='0' TypeString='其他憑證' HolderRank='Primary'"
         u" ID='E1' ID='U2' "},
        {"2.16.886.1.100.3.1.1 ", std::nullopt,
         u" OID='2.16.886.1.100.3.1.1 ' Type='0' TypeString='其他憑證' ID='E1' ID='U2' "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typeOid);
        CertInfoFields f = CitizenFields();
        f.subjectTypeOid = std::string(c.typeOid);
        f.holderRank = c.rank;
        const std::u16string record = Format(f);
        const std::size_t from = record.find(u" OID=");
        const std::size_t to = record.find(u"GroupID=");
        ASSERT_NE(from, std::u16string::npos);
        ASSERT_NE(to, std::u16string::npos);
        EXPECT_EQ(record.substr(from, to - from), c.group);
    }
}

TEST_F(CertInfo, EveryTypeNameIsBig5) {
    const char16_t* names[] = {u"自然人憑證",   u"政府機關憑證",       u"政府單位憑證",
                               u"公司憑證",     u"分公司憑證",         u"商號憑證",
                               u"伺服器憑證",   u"職務憑證",           u"社團法人憑證",
                               u"財團法人憑證", u"學校憑證",           u"醫事機構憑證",
                               u"醫事人員憑證", u"自由職業事務所憑證", u"其他組織或團體憑證"};
    const char* oids[] = {
        "2.16.886.1.100.3.1.1",     "2.16.886.1.100.3.2.1.1",   "2.16.886.1.100.3.2.1.2",
        "2.16.886.1.100.3.2.2.1.1", "2.16.886.1.100.3.2.3.3.1", "2.16.886.1.100.3.2.3.1",
        "2.16.886.1.100.3.3.1",     "2.16.886.1.100.3.1.5",     "2.16.886.1.100.3.2.2.2.1",
        "2.16.886.1.100.3.2.2.2.2", "2.16.886.1.100.3.2.11",    "2.16.886.1.100.3.2.21",
        "2.16.886.1.100.3.1.7",     "2.16.886.1.100.3.2.3.4",   "2.16.886.1.100.3.2.49"};
    for (int i = 0; i < 15; ++i) {
        const tessivo::SubjectType& t = tessivo::LookupSubjectType(oids[i]);
        EXPECT_EQ(t.type, i + 1);
        EXPECT_EQ(WidenBig5(t.name), names[i]) << oids[i];
    }
    EXPECT_EQ(WidenBig5(tessivo::LookupSubjectType("2.16.886").name), u"其他憑證");
    EXPECT_EQ(WidenBig5(tessivo::HolderRankCard("primary")), u"正卡");
    EXPECT_EQ(tessivo::HolderRankCard("PRIMARY"), nullptr);
}

TEST_F(CertInfo, ValueForms) {
    struct Case {
        const char* name;
        void (*set)(CertInfoFields&);
        const char16_t* expected; // the attribute, or null when it is left out
    };
    const Case cases[] = {
        {"usage 0x30", [](CertInfoFields& f) { f.keyUsage = std::string("\x30", 1); },
         u" Usage='48'"},
        {"usage two bytes", [](CertInfoFields& f) { f.keyUsage = std::string("\x80\x80", 2); },
         u" Usage='-128'"},
        {"usage empty", [](CertInfoFields& f) { f.keyUsage = std::string(); }, nullptr},
        {"unknown algorithm",
         [](CertInfoFields& f) { f.signatureAlgorithm = std::string("1.2.840.113549.1.1.13"); },
         u" SignAlgorithm='1.2.840.113549.1.1.13'"},
        {"sha1",
         [](CertInfoFields& f) { f.signatureAlgorithm = std::string("1.2.840.113549.1.1.5"); },
         u" SignAlgorithm='sha1RSA'"},
        {"unknown policy", [](CertInfoFields& f) { f.policy = std::string("2.16.886.101.0.3.5"); },
         u" Policy='2.16.886.101.0.3.5'"},
        {"test policy", [](CertInfoFields& f) { f.policy = std::string("2.16.886.101.0.3.0"); },
         u" Policy='TEST'"},
        {"value cut at zero byte", [](CertInfoFields& f) { f.email = std::string("a@b\0junk", 8); },
         u" EMAIL='a@b'"},
        {"invalid Big5 is empty", [](CertInfoFields& f) { f.email = std::string("\xA4", 1); },
         u" EMAIL=''"},
        {"name outside Big5 already replaced",
         [](CertInfoFields& f) { f.subjectDN = std::string("CN=?"); }, u" SubjectDN='CN=?'"},
        {"long key identifier",
         [](CertInfoFields& f) { f.subjectKeyId = std::string(600, '\xFF'); }, nullptr},
        {"apostrophe not escaped", [](CertInfoFields& f) { f.uid = std::string("o'k x"); },
         u" UID='o'k x'"},
        {"encipherment", [](CertInfoFields& f) { f.forEncrypt = true; }, u" ForEncrypt='Y'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CertInfoFields f;
        c.set(f);
        const std::u16string record = Format(f);
        if (c.expected) {
            EXPECT_NE(record.find(c.expected), std::u16string::npos);
        } else if (std::string(c.name) == "long key identifier") {
            EXPECT_NE(record.find(u" SubjectKeyId='" + std::u16string(1200, u'f') + u"'"),
                      std::u16string::npos);
        } else {
            EXPECT_EQ(record, u" SerialNo='01a3'");
        }
    }
}
