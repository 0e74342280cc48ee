// Keys and certificates on a token (GetKeyNum ... GetEnciphermentKey) and the RSA operations
// with card keys. Every case runs on the test module's software token; on Linux also on SoftHSM2,
// where pkcs11-tool and the openssl command check the signatures independently.
#include "tests/token/keys_token.h"

#include "cryptoki.h"

#include "tests/fixtures/softhsm_token.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>

namespace keystest {
namespace {

using Bytes = std::vector<unsigned char>;
using fixtures::PkeyPtr;
using fixtures::ReferenceSignature;
using fixtures::Sha256DigestInfo;

// ---- shared material: keys take time to make, so one set serves every test ----

struct Materials {
    fixtures::TempDir dir;
    Material plainSign = MakeMaterial(dir.Path(), "plain-sign", -1);
    Material plainKeyx = MakeMaterial(dir.Path(), "plain-keyx", -1);
    Material ku80 = MakeMaterial(dir.Path(), "ku80", 0x80);
    Material ku30 = MakeMaterial(dir.Path(), "ku30", 0x30);
    Material kuC0 = MakeMaterial(dir.Path(), "kuC0", 0xC0);
    std::string garbage = WriteGarbage();

    std::string WriteGarbage() const {
        const std::string path = dir.Path() + "/garbage.bin";
        std::ofstream(path, std::ios::binary) << "this is not a certificate";
        return path;
    }
};

const Materials& Shared() {
    static Materials materials;
    return materials;
}

// Keys and certificates received from the library, released through it.
struct KeyHandle {
    VR_KEY key = nullptr;
    ~KeyHandle() { FreeKey(key); }
    EVP_PKEY* get() const { return static_cast<EVP_PKEY*>(key); }
};
struct CertHandle {
    VR_CERT cert = nullptr;
    ~CertHandle() {
        if (cert) {
            FreeCert(cert);
        }
    }
};

Bytes DerOf(VR_CERT cert) {
    return fixtures::DerOf(static_cast<X509*>(cert));
}

Bytes FileBytes(const std::string& path) {
    return fixtures::ReadFileBytes(path);
}

// True when the card key and the key in the PEM file share their modulus.
bool SameModulus(EVP_PKEY* cardKey, const Material& m) {
    PkeyPtr soft = fixtures::ReadPrivateKey(m.keyPem);
    const RSA* a = cardKey ? EVP_PKEY_get0_RSA(cardKey) : nullptr;
    const RSA* b = soft ? EVP_PKEY_get0_RSA(soft.get()) : nullptr;
    return a && b && RSA_get0_n(a) && BN_cmp(RSA_get0_n(a), RSA_get0_n(b)) == 0;
}

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

VR_RESULT Sign(std::uint32_t mech, const Bytes& data, EVP_PKEY* key, Bytes& sig) {
    sig.assign(256, 0);
    std::int32_t len = 256;
    VR_RESULT rc =
        BasicSign(mech, data.data(), static_cast<std::int32_t>(data.size()), key, sig.data(), &len);
    sig.resize(rc == OK ? static_cast<size_t>(len) : 0);
    return rc;
}

VR_RESULT Verify(std::uint32_t mech, const Bytes& data, EVP_PKEY* key, const Bytes& sig) {
    return BasicVerify(mech, data.data(), static_cast<std::int32_t>(data.size()), key, sig.data(),
                       static_cast<std::int32_t>(sig.size()));
}

const unsigned char kSign[] = {'S', 'I', 'G', 'N'};

const struct {
    std::uint32_t mech;
    const EVP_MD* (*md)();
    const char* pkcs11Tool; // pkcs11-tool's name of the mechanism
    const char* dgst;       // the openssl dgst option
} kDigestMechanisms[] = {
    {5, EVP_md5, "MD5-RSA-PKCS", "-md5"},           {6, EVP_sha1, "SHA1-RSA-PKCS", "-sha1"},
    {64, EVP_sha256, "SHA256-RSA-PKCS", "-sha256"}, {65, EVP_sha384, "SHA384-RSA-PKCS", "-sha384"},
    {66, EVP_sha512, "SHA512-RSA-PKCS", "-sha512"}, {70, EVP_sha224, "SHA224-RSA-PKCS", "-sha224"},
};

// ---- the cases, on each kind of token ----

struct Backend {
    const char* name;
    TokenFactory make;
    bool rawCerts; // can hold a certificate object whose value is not a certificate
};

class TokenKeysTest : public ::testing::TestWithParam<Backend> {
protected:
    std::unique_ptr<TestToken> MakeToken(const std::vector<TokenObject>& objects) {
        return GetParam().make(objects);
    }
    const Materials& materials_ = Shared();
};

TEST_P(TokenKeysTest, WellKnownIdsAreFoundWithoutKeyUsage) {
    // Neither certificate has a KeyUsage: only the ids can find them.
    auto token = MakeToken({Cert("SIGN", materials_.plainSign), Key("SIGN", materials_.plainSign),
                            Cert("KEYX", materials_.plainKeyx), Key("KEYX", materials_.plainKeyx)});
    LoggedIn p11(*token);
    ASSERT_EQ(p11.initResult, OK);
    ASSERT_EQ(p11.loginResult, OK);

    CertHandle sign, keyx;
    ASSERT_EQ(GetSignatureCert(p11.get(), &sign.cert), OK);
    EXPECT_EQ(DerOf(sign.cert), FileBytes(materials_.plainSign.certDer));
    ASSERT_EQ(GetEnciphermentCert(p11.get(), &keyx.cert), OK);
    EXPECT_EQ(DerOf(keyx.cert), FileBytes(materials_.plainKeyx.certDer));

    KeyHandle signKey, keyxKey;
    ASSERT_EQ(GetSignatureKey(p11.get(), &signKey.key), OK);
    EXPECT_TRUE(SameModulus(signKey.get(), materials_.plainSign));
    ASSERT_EQ(GetEnciphermentKey(p11.get(), &keyxKey.key), OK);
    EXPECT_TRUE(SameModulus(keyxKey.get(), materials_.plainKeyx));
}

TEST_P(TokenKeysTest, KeyUsageFallbackMatchesTheWholeFirstByte) {
    auto token = MakeToken({Cert("C0", materials_.kuC0), Key("C0", materials_.kuC0),
                            Cert("A1", materials_.ku80), Key("A1", materials_.ku80),
                            Cert("B2", materials_.ku30), Key("B2", materials_.ku30)});
    LoggedIn p11(*token);
    ASSERT_EQ(p11.loginResult, OK);

    CertHandle sign, keyx, c0;
    ASSERT_EQ(GetSignatureCert(p11.get(), &sign.cert), OK);
    EXPECT_EQ(DerOf(sign.cert), FileBytes(materials_.ku80.certDer)) << "0xC0 must not match 0x80";
    ASSERT_EQ(GetEnciphermentCert(p11.get(), &keyx.cert), OK);
    EXPECT_EQ(DerOf(keyx.cert), FileBytes(materials_.ku30.certDer));
    ASSERT_EQ(GetCertByKU(p11.get(), &c0.cert, 0xC0), OK);
    EXPECT_EQ(DerOf(c0.cert), FileBytes(materials_.kuC0.certDer));

    KeyHandle signKey, keyxKey;
    ASSERT_EQ(GetSignatureKey(p11.get(), &signKey.key), OK);
    EXPECT_TRUE(SameModulus(signKey.get(), materials_.ku80));
    ASSERT_EQ(GetEnciphermentKey(p11.get(), &keyxKey.key), OK);
    EXPECT_TRUE(SameModulus(keyxKey.get(), materials_.ku30));
}

TEST_P(TokenKeysTest, NoMatchingObjectIsNotFound) {
    {
        SCOPED_TRACE("only a 0xC0 certificate");
        auto token = MakeToken({Cert("C0", materials_.kuC0), Key("C0", materials_.kuC0)});
        LoggedIn p11(*token);
        ASSERT_EQ(p11.loginResult, OK);
        CertHandle cert;
        cert.cert = reinterpret_cast<VR_CERT>(1); // must be cleared
        EXPECT_EQ(GetSignatureCert(p11.get(), &cert.cert), BASIC_OBJECT_NOT_FOUND);
        EXPECT_EQ(cert.cert, nullptr);
        KeyHandle key;
        EXPECT_EQ(GetSignatureKey(p11.get(), &key.key), BASIC_OBJECT_NOT_FOUND);
        EXPECT_EQ(key.key, nullptr);
        EXPECT_EQ(GetCert(p11.get(), kSign, 4, &cert.cert), BASIC_OBJECT_NOT_FOUND);
        EXPECT_EQ(GetKey(p11.get(), kSign, 4, &key.key), BASIC_OBJECT_NOT_FOUND);
    }
    {
        SCOPED_TRACE("a 0x80 certificate without its private key");
        auto token = MakeToken({Cert("A1", materials_.ku80), Key("B2", materials_.ku30)});
        LoggedIn p11(*token);
        ASSERT_EQ(p11.loginResult, OK);
        KeyHandle key;
        EXPECT_EQ(GetKeyByKU(p11.get(), &key.key, 0x80), BASIC_OBJECT_NOT_FOUND);
        EXPECT_EQ(key.key, nullptr);
        EXPECT_EQ(GetSignatureKey(p11.get(), &key.key), BASIC_OBJECT_NOT_FOUND);
        CertHandle cert;
        EXPECT_EQ(GetSignatureCert(p11.get(), &cert.cert), OK);
    }
}

TEST_P(TokenKeysTest, TwelveKeysGrowTheEnumerationArray) {
    std::vector<TokenObject> objects;
    std::set<std::string> ids;
    for (int i = 0; i < 12; ++i) {
        const std::string id = "K" + std::to_string(100 + i);
        objects.push_back(Key(id, materials_.ku80));
        ids.insert(id);
    }
    auto token = MakeToken(objects);
    LoggedIn p11(*token);
    ASSERT_EQ(p11.loginResult, OK);

    std::uint32_t count = 0;
    ASSERT_EQ(GetKeyNum(p11.get(), &count), OK);
    EXPECT_EQ(count, 12u);
    std::set<std::string> seen;
    for (std::uint32_t i = 0; i < 12; ++i) {
        char id[16] = {};
        std::uint32_t len = sizeof id;
        ASSERT_EQ(GetKeyID(p11.get(), i, reinterpret_cast<unsigned char*>(id), &len), OK) << i;
        EXPECT_EQ(len, 4u);
        seen.insert(id);
    }
    EXPECT_EQ(seen, ids);
    std::uint32_t len = 16;
    unsigned char id[16];
    EXPECT_EQ(GetKeyID(p11.get(), 12, id, &len), BASIC_INDEX_ERROR);
    EXPECT_EQ(GetCertNum(p11.get(), &count), OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetCertID(p11.get(), 0, id, &len), BASIC_INDEX_ERROR);
}

TEST_P(TokenKeysTest, IdsAreCopiedOutByTheirOwnRule) {
    auto token = MakeToken({Cert("SIGN", materials_.ku80), Key("SIGN", materials_.ku80)});
    LoggedIn p11(*token);
    ASSERT_EQ(p11.loginResult, OK);

    const struct {
        std::uint32_t capacity;
        bool nullBuffer;
        VR_RESULT result;
        const char* expected; // the buffer afterwards; '#' is an untouched byte
    } cases[] = {
        {4, false, OK, "SIGN#"},
        {5, false, OK, "SIGN\0"},
        {3, false, 0x150, "#####"},
        {16, true, 0x150, "#####"},
    };
    using IdFunction = VR_RESULT (*)(PKCS11*, std::uint32_t, unsigned char*, std::uint32_t*);
    for (IdFunction fn : {&GetKeyID, &GetCertID}) {
        for (const auto& c : cases) {
            SCOPED_TRACE("capacity " + std::to_string(c.capacity));
            unsigned char buf[5];
            std::memset(buf, '#', sizeof buf);
            std::uint32_t len = c.capacity;
            EXPECT_EQ(fn(p11.get(), 0, c.nullBuffer ? nullptr : buf, &len), c.result);
            EXPECT_EQ(len, 4u);
            EXPECT_EQ(std::memcmp(buf, c.expected, 5), 0);
        }
    }
}

TEST_P(TokenKeysTest, EverythingNeedsALoginAndAModule) {
    auto token = MakeToken({Cert("SIGN", materials_.ku80), Key("SIGN", materials_.ku80)});
    LoggedIn loaded(*token, /*login=*/false);
    ASSERT_EQ(loaded.initResult, OK);
    PKCS11 empty{};

    unsigned char buf[16];
    std::uint32_t n = sizeof buf;
    void* out = nullptr;
    const std::vector<std::function<VR_RESULT(PKCS11*)>> calls = {
        [&](PKCS11* p) { return GetKeyNum(p, &n); },
        [&](PKCS11* p) { return GetKeyID(p, 0, buf, &n); },
        [&](PKCS11* p) { return GetKey(p, kSign, 4, &out); },
        [&](PKCS11* p) { return GetCertNum(p, &n); },
        [&](PKCS11* p) { return GetCertID(p, 0, buf, &n); },
        [&](PKCS11* p) { return GetCert(p, kSign, 4, &out); },
        [&](PKCS11* p) { return GetCertByKU(p, &out, 0x80); },
        [&](PKCS11* p) { return GetKeyByKU(p, &out, 0x80); },
        [&](PKCS11* p) { return GetSignatureCert(p, &out); },
        [&](PKCS11* p) { return GetEnciphermentCert(p, &out); },
        [&](PKCS11* p) { return GetSignatureKey(p, &out); },
        [&](PKCS11* p) { return GetEnciphermentKey(p, &out); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        EXPECT_EQ(calls[i](loaded.get()), BASIC_USER_NOT_LOGGED_IN);
        EXPECT_EQ(calls[i](&empty), BASIC_MODULE_NOT_LOADED);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(FreeKey(nullptr), OK);
}

TEST_P(TokenKeysTest, CertificateValueThatIsNotACertificateStopsTheSearch) {
    if (!GetParam().rawCerts) {
        GTEST_SKIP() << "this token cannot hold a raw certificate value";
    }
    auto token = MakeToken(
        {{TokenObject::Kind::RawCert, "BAD", materials_.garbage}, Cert("A1", materials_.ku80)});
    LoggedIn p11(*token);
    ASSERT_EQ(p11.loginResult, OK);
    void* cert = nullptr;
    const unsigned char bad[] = {'B', 'A', 'D'};
    EXPECT_EQ(GetCert(p11.get(), bad, 3, &cert), BASIC_CONVERT_ERROR);
    EXPECT_EQ(cert, nullptr);
    EXPECT_EQ(GetCertByKU(p11.get(), &cert, 0x80), BASIC_CONVERT_ERROR);
    EXPECT_EQ(cert, nullptr);
}

TEST_P(TokenKeysTest, CardKeySignsVerifiesAndDecryptsLikeItsSoftwareTwin) {
    auto token = MakeToken({Cert("SIGN", materials_.ku80), Key("SIGN", materials_.ku80)});
    LoggedIn p11(*token);
    ASSERT_EQ(p11.loginResult, OK);
    KeyHandle card, pub;
    CertHandle cert;
    ASSERT_EQ(GetSignatureKey(p11.get(), &card.key), OK);
    ASSERT_EQ(GetSignatureCert(p11.get(), &cert.cert), OK);
    ASSERT_EQ(GetCertPublicKey(cert.cert, &pub.key), OK);
    ASSERT_NE(pub.key, nullptr);
    PkeyPtr soft = fixtures::ReadPrivateKey(materials_.ku80.keyPem);
    const Bytes abc = ToBytes("abc");

    // Size answers: null and short buffers sign nothing.
    std::int32_t len = 0;
    EXPECT_EQ(BasicSign(64, abc.data(), 3, card.get(), nullptr, &len), OK);
    EXPECT_EQ(len, 256);
    Bytes shortBuf(255, 0xEE);
    len = 255;
    EXPECT_EQ(BasicSign(64, abc.data(), 3, card.get(), shortBuf.data(), &len), OK);
    EXPECT_EQ(len, 256);
    EXPECT_EQ(shortBuf, Bytes(255, 0xEE));

    for (const auto& c : kDigestMechanisms) {
        SCOPED_TRACE("mechanism " + std::to_string(c.mech));
        Bytes sig;
        ASSERT_EQ(Sign(c.mech, abc, card.get(), sig), OK);
        EXPECT_EQ(sig, ReferenceSignature(soft.get(), c.md(), abc));
        EXPECT_EQ(Verify(c.mech, abc, pub.get(), sig), OK);
        EXPECT_EQ(Verify(c.mech, abc, card.get(), sig), OK); // public half, in software
        EXPECT_EQ(Verify(c.mech, ToBytes("abd"), pub.get(), sig), CRYPTO_VERIFY_ERROR);
    }

    const Bytes info = Sha256DigestInfo(abc);
    Bytes raw, hashed;
    ASSERT_EQ(Sign(1, info, card.get(), raw), OK);
    ASSERT_EQ(Sign(64, abc, card.get(), hashed), OK);
    EXPECT_EQ(raw, hashed);
    EXPECT_EQ(Verify(1, info, pub.get(), raw), OK);
    EXPECT_EQ(Verify(1, Bytes(info.begin(), info.end() - 1), pub.get(), raw),
              CRYPTO_RAW_SIGNATURE_INVALID);

    for (std::uint32_t mech : {0u, 2u, 3u, 71u}) {
        SCOPED_TRACE("mechanism " + std::to_string(mech));
        len = 0;
        EXPECT_EQ(BasicSign(mech, abc.data(), 3, card.get(), nullptr, &len), OK);
        EXPECT_EQ(len, 256);
        Bytes sig;
        EXPECT_EQ(Sign(mech, abc, card.get(), sig), CRYPTO_MECHANISM_INVALID);
    }

    // Encrypt with the certificate's key, decrypt on the card.
    const Bytes plain = ToBytes("card decryption");
    Bytes cipher(256);
    len = 100;
    EXPECT_EQ(BasicAsymEncrypt(0, plain.data(), 15, pub.get(), cipher.data(), &len),
              BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 256);
    len = 256;
    ASSERT_EQ(BasicAsymEncrypt(0, plain.data(), 15, pub.get(), cipher.data(), &len), OK);
    ASSERT_EQ(len, 256);
    Bytes back(256);
    std::int32_t backLen = 256;
    ASSERT_EQ(BasicAsymDecrypt(0, cipher.data(), 256, card.get(), back.data(), &backLen), OK);
    back.resize(static_cast<size_t>(backLen));
    EXPECT_EQ(back, plain);
}

TEST_P(TokenKeysTest, CardKeyFailsCleanlyOnceItsSessionIsGone) {
    auto token = MakeToken({Cert("SIGN", materials_.ku80), Key("SIGN", materials_.ku80)});
    LoggedIn p11(*token);
    ASSERT_EQ(p11.loginResult, OK);
    KeyHandle card;
    CertHandle cert;
    ASSERT_EQ(GetSignatureKey(p11.get(), &card.key), OK);
    ASSERT_EQ(GetSignatureCert(p11.get(), &cert.cert), OK);
    ASSERT_EQ(LogoutToken(p11.get()), OK);

    const Bytes abc = ToBytes("abc");
    for (std::uint32_t mech : {64u, 1u}) {
        SCOPED_TRACE("mechanism " + std::to_string(mech));
        ERR_clear_error();
        Bytes sig;
        EXPECT_EQ(Sign(mech, abc, card.get(), sig), CRYPTO_SIGN_ERROR);
        // The module's refusal is in the error queue, under the user library.
        bool moduleCode = false;
        for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
            const int reason = ERR_GET_REASON(e);
            moduleCode |= ERR_GET_LIB(e) == ERR_LIB_USER &&
                          (reason == CKR_SESSION_HANDLE_INVALID || reason == CKR_SESSION_CLOSED);
        }
        EXPECT_TRUE(moduleCode);
    }
    Bytes out(256);
    std::int32_t outLen = 256;
    EXPECT_EQ(BasicAsymDecrypt(0, out.data(), 256, card.get(), out.data(), &outLen),
              CRYPTO_DECRYPT_ERROR);
    ERR_clear_error();

    // Keys and certificates outlive the module: freeing them must not call into it.
    ASSERT_EQ(CloseLibrary(p11.get()), OK);
    EXPECT_EQ(FreeKey(card.key), OK);
    card.key = nullptr;
    EXPECT_EQ(FreeCert(cert.cert), OK);
    cert.cert = nullptr;
}

std::vector<Backend> Backends() {
    std::vector<Backend> list = {{"TestModule", &MakeTestModuleToken, true}};
#ifndef _WIN32
    list.push_back({"SoftHsm", &MakeSoftHsmToken, false});
#endif
    return list;
}

INSTANTIATE_TEST_SUITE_P(Tokens, TokenKeysTest, ::testing::ValuesIn(Backends()),
                         [](const auto& info) { return std::string(info.param.name); });

#ifndef _WIN32
// pkcs11-tool signs on the same SoftHSM2 token and the openssl command verifies our signatures.
TEST(SoftHsmCrossCheck, SignaturesEqualPkcs11ToolsAndVerifyWithOpenssl) {
    const Materials& m = Shared();
    auto token = MakeSoftHsmToken({Cert("SIGN", m.ku80), Key("SIGN", m.ku80)});
    fixtures::TempDir work;
    const std::string data = work.Path() + "/data.bin";
    std::ofstream(data, std::ios::binary) << "abc";
    const std::string pubPem = work.Path() + "/pub.pem";
    ASSERT_TRUE(fixtures::RunCommand("openssl x509 -in '" + m.ku80.certPem +
                                         "' -pubkey -noout -out '" + pubPem + "'",
                                     work.Path() + "/x509.log"));

    LoggedIn p11(*token);
    ASSERT_EQ(p11.loginResult, OK);
    KeyHandle card;
    ASSERT_EQ(GetSignatureKey(p11.get(), &card.key), OK);

    for (const auto& c : kDigestMechanisms) {
        SCOPED_TRACE(c.pkcs11Tool);
        Bytes ours;
        ASSERT_EQ(Sign(c.mech, ToBytes("abc"), card.get(), ours), OK);
        const std::string oursFile = work.Path() + "/ours.sig";
        std::ofstream(oursFile, std::ios::binary)
            .write(reinterpret_cast<const char*>(ours.data()),
                   static_cast<std::streamsize>(ours.size()));
        EXPECT_TRUE(fixtures::RunCommand("openssl dgst " + std::string(c.dgst) + " -verify '" +
                                             pubPem + "' -signature '" + oursFile + "' '" + data +
                                             "'",
                                         work.Path() + "/dgst.log"));

        const std::string theirsFile = work.Path() + "/theirs.sig";
        ASSERT_TRUE(token->Pkcs11Tool(std::string("--sign --id ") + fixtures::HexOf("SIGN") +
                                      " -m " + c.pkcs11Tool + " -i '" + data + "' -o '" +
                                      theirsFile + "'"));
        EXPECT_EQ(ours, fixtures::ReadFileBytes(theirsFile));
    }
}
#endif

} // namespace
} // namespace keystest
