// The login's certificate choice, applied before any PIN, over generated certificates.
#include "peer/LoginRule.h"

#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include "tests/fixtures/key_material.h"

namespace {

using peer::CardVerdict;

constexpr int kNoUsage = -1;
constexpr int kTwoBytes = 0x180; // digitalSignature and decipherOnly: two key-usage bytes
constexpr int kGarbage = -2;     // a value that is no certificate

struct Cert {
    std::string id;
    int usage;
};

std::vector<std::uint8_t> MakeDer(EVP_PKEY* key, int usage) {
    if (usage == kGarbage) {
        return {0x30, 0x03, 0x02, 0x01, 0x00};
    }
    if (usage != kTwoBytes) {
        return fixtures::DerOf(fixtures::SelfSignedCert(key, "Holder", usage).get());
    }
    fixtures::X509Ptr cert = fixtures::UnsignedCert(key, "Holder");
    ossl::Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free> bits(ASN1_BIT_STRING_new());
    ASN1_BIT_STRING_set_bit(bits.get(), 0, 1);
    ASN1_BIT_STRING_set_bit(bits.get(), 8, 1);
    EXPECT_EQ(X509_add1_ext_i2d(cert.get(), NID_key_usage, bits.get(), 1, 0), 1);
    fixtures::SignCert(cert.get(), key);
    return fixtures::DerOf(cert.get());
}

class LoginRuleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { key_ = EVP_RSA_gen(1024); }
    static void TearDownTestSuite() { EVP_PKEY_free(key_); }

    static std::vector<peer::PublicCertificate> Card(const std::vector<Cert>& certs) {
        std::vector<peer::PublicCertificate> out;
        for (const Cert& c : certs) {
            out.push_back({std::vector<std::uint8_t>(c.id.begin(), c.id.end()), "label " + c.id,
                           MakeDer(key_, c.usage)});
        }
        return out;
    }

    static EVP_PKEY* key_;
};
EVP_PKEY* LoginRuleTest::key_ = nullptr;

TEST_F(LoginRuleTest, ChoosesAsTheLoginDoes) {
    constexpr int kNone = -1;
    struct Case {
        const char* what;
        std::vector<Cert> certs;
        int signature; // index, or kNone
        int encipherment;
        const char* missing; // in the sentence; "" when usable
    } cases[] = {
        {"ids win whatever the key usage",
         {{"a", 0x80}, {"SIGN", 0xC0}, {"b", 0x30}, {"KEYX", kNoUsage}},
         1,
         3,
         ""},
        {"key usage in the module's order",
         {{"x", 0x20}, {"s1", 0x80}, {"e1", 0x30}, {"s2", 0x80}},
         1,
         2,
         ""},
        {"signature certificate and key only",
         {{"SIGN", 0x80}},
         0,
         kNone,
         "encipherment certificate"},
        {"0xC0 is not digitalSignature alone",
         {{"s", 0xC0}, {"KEYX", 0x30}},
         kNone,
         1,
         "signature certificate"},
        {"0x20 is not 0x30", {{"SIGN", 0x80}, {"e", 0x20}}, 0, kNone, "encipherment certificate"},
        {"0x38 is not 0x30", {{"SIGN", 0x80}, {"e", 0x38}}, 0, kNone, "encipherment certificate"},
        {"two key-usage bytes never match",
         {{"s", kTwoBytes}, {"KEYX", 0x30}},
         kNone,
         1,
         "signature certificate"},
        {"no key usage never matches",
         {{"s", kNoUsage}, {"e", 0x30}},
         kNone,
         1,
         "signature certificate"},
        {"nothing usable",
         {{"s", 0xC0}, {"e", 0x20}},
         kNone,
         kNone,
         "signature certificate (id \"SIGN\", or key usage digitalSignature alone) and an "
         "encipherment certificate"},
        {"an unreadable value ends the key-usage search",
         {{"bad", kGarbage}, {"s", 0x80}, {"e", 0x30}},
         kNone,
         kNone,
         "signature certificate"},
        {"an unreadable SIGN falls back to key usage",
         {{"s", 0x80}, {"SIGN", kGarbage}, {"KEYX", 0x30}},
         0,
         2,
         ""},
        {"ids are exact",
         {{"SIGN ", 0xC0}, {"keyx", 0x20}, {"SIG", 0xC0}},
         kNone,
         kNone,
         "signature certificate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const peer::LoginCheck check = peer::CheckLoginRule(Card(c.certs));
        EXPECT_EQ(check.signature ? static_cast<int>(*check.signature) : kNone, c.signature);
        EXPECT_EQ(check.encipherment ? static_cast<int>(*check.encipherment) : kNone,
                  c.encipherment);
        EXPECT_EQ(check.verdict, *c.missing ? CardVerdict::Unusable : CardVerdict::Usable);
        if (*c.missing) {
            EXPECT_NE(check.missing.find(c.missing), std::string::npos) << check.missing;
        } else {
            EXPECT_EQ(check.missing, "");
        }
        EXPECT_EQ(check.certificates.size(), c.certs.size());
    }
}

TEST_F(LoginRuleTest, NoCertificateBeforeThePinCannotBeJudged) {
    const peer::LoginCheck check = peer::CheckLoginRule({});
    EXPECT_EQ(check.verdict, CardVerdict::Unknown);
    EXPECT_EQ(check.missing, "");
}

TEST_F(LoginRuleTest, DescribesEachCertificateForMessages) {
    std::vector<peer::PublicCertificate> card = Card({{"SIGN", 0xC0}, {"", kNoUsage}});
    card[1].id = {0x01, 0xAB};
    card.push_back({{'z'}, "odd", MakeDer(key_, kGarbage)});
    const peer::LoginCheck check = peer::CheckLoginRule(card);
    ASSERT_EQ(check.certificates.size(), 3u);
    const peer::CertificateFacts& sign = check.certificates[0];
    EXPECT_EQ(sign.label, "label SIGN");
    EXPECT_EQ(sign.id, "SIGN");
    EXPECT_EQ(sign.idHex, "5349474e");
    EXPECT_EQ(sign.keyUsage, "c0 (digitalSignature, nonRepudiation)");
    EXPECT_EQ(sign.subject, "CN=Holder");
    EXPECT_EQ(peer::DescribeCertificate(sign),
              "label \"label SIGN\", id \"SIGN\", key usage c0 (digitalSignature, "
              "nonRepudiation), subject CN=Holder");
    EXPECT_EQ(check.certificates[1].id, "");
    EXPECT_EQ(check.certificates[1].keyUsage, "none");
    EXPECT_NE(peer::DescribeCertificate(check.certificates[1]).find("id hex 01ab"),
              std::string::npos);
    EXPECT_FALSE(check.certificates[2].parsed);
    EXPECT_NE(peer::DescribeCertificate(check.certificates[2]).find("not a readable certificate"),
              std::string::npos);
}

} // namespace
