// BasicSign, BasicVerify, BasicAsymEncrypt and BasicAsymDecrypt on software RSA keys, checked
// against OpenSSL's own PKCS#1 v1.5 signing.
#include "vantrel.h"

#include "tests/fixtures/key_material.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

using fixtures::PkeyPtr;
using fixtures::ReferenceSignature;
using fixtures::Sha256DigestInfo;

PkeyPtr MakeRsaKey(unsigned bits, int primes = 2) {
    fixtures::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_primes(ctx.get(), primes) <= 0 ||
        EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
        return nullptr;
    }
    return PkeyPtr(key);
}

// The public half alone, as a certificate would give it.
PkeyPtr PublicOnly(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(key, &der);
    const unsigned char* p = der;
    PkeyPtr pub(d2i_PUBKEY(nullptr, &p, len));
    OPENSSL_free(der);
    return pub;
}

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class BasicCryptoTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key_ = MakeRsaKey(2048).release();
        pub_ = PublicOnly(key_).release();
    }
    static void TearDownTestSuite() {
        EVP_PKEY_free(pub_);
        EVP_PKEY_free(key_);
    }

    // BasicSign with a buffer of the key size; the signature, or empty on failure.
    static VR_RESULT Sign(std::uint32_t mech, const Bytes& data, Bytes& sig, EVP_PKEY* key = key_) {
        sig.assign(static_cast<size_t>(EVP_PKEY_size(key)), 0);
        std::int32_t len = static_cast<std::int32_t>(sig.size());
        VR_RESULT rc = BasicSign(mech, data.data(), static_cast<std::int32_t>(data.size()), key,
                                 sig.data(), &len);
        sig.resize(rc == OK ? static_cast<size_t>(len) : 0);
        return rc;
    }
    static VR_RESULT Verify(std::uint32_t mech, const Bytes& data, const Bytes& sig,
                            EVP_PKEY* key = pub_) {
        return BasicVerify(mech, data.data(), static_cast<std::int32_t>(data.size()), key,
                           sig.data(), static_cast<std::int32_t>(sig.size()));
    }

    static EVP_PKEY* key_;
    static EVP_PKEY* pub_;
    const Bytes abc_ = ToBytes("abc");
};

EVP_PKEY* BasicCryptoTest::key_ = nullptr;
EVP_PKEY* BasicCryptoTest::pub_ = nullptr;

TEST_F(BasicCryptoTest, SignAnswersSizeQueriesWithoutSigning) {
    std::int32_t len = 0;
    EXPECT_EQ(BasicSign(64, abc_.data(), 3, key_, nullptr, &len), OK);
    EXPECT_EQ(len, 256);

    Bytes shortBuf(255, 0xEE);
    len = 255;
    EXPECT_EQ(BasicSign(64, abc_.data(), 3, key_, shortBuf.data(), &len), OK);
    EXPECT_EQ(len, 256);
    EXPECT_EQ(shortBuf, Bytes(255, 0xEE)) << "a short buffer must not be written";

    Bytes sig;
    ASSERT_EQ(Sign(64, abc_, sig), OK);
    EXPECT_EQ(sig.size(), 256u);
}

TEST_F(BasicCryptoTest, EveryDigestMechanismSignsAsOpenSslAndVerifies) {
    const struct {
        std::uint32_t mech;
        const EVP_MD* md;
    } cases[] = {{5, EVP_md5()},     {6, EVP_sha1()},    {64, EVP_sha256()},
                 {65, EVP_sha384()}, {66, EVP_sha512()}, {70, EVP_sha224()}};
    for (const auto& c : cases) {
        SCOPED_TRACE("mechanism " + std::to_string(c.mech));
        Bytes sig;
        ASSERT_EQ(Sign(c.mech, abc_, sig), OK);
        EXPECT_EQ(sig, ReferenceSignature(key_, c.md, abc_));
        EXPECT_EQ(Verify(c.mech, abc_, sig), OK);
        EXPECT_EQ(Verify(c.mech, ToBytes("abd"), sig), CRYPTO_VERIFY_ERROR);
    }
}

TEST_F(BasicCryptoTest, RawMechanismOverDigestInfoEqualsSha256Mechanism) {
    Bytes raw, hashed;
    ASSERT_EQ(Sign(1, Sha256DigestInfo(abc_), raw), OK);
    ASSERT_EQ(Sign(64, abc_, hashed), OK);
    EXPECT_EQ(raw, hashed);
}

TEST_F(BasicCryptoTest, RawVerificationComparesTheWholeBlock) {
    const Bytes info = Sha256DigestInfo(abc_);
    Bytes sig;
    ASSERT_EQ(Sign(1, info, sig), OK);
    EXPECT_EQ(Verify(1, info, sig), OK);

    Bytes shorter(info.begin(), info.end() - 1);
    EXPECT_EQ(Verify(1, shorter, sig), CRYPTO_RAW_SIGNATURE_INVALID);
    Bytes changed = info;
    changed.back() ^= 1;
    EXPECT_EQ(Verify(1, changed, sig), CRYPTO_RAW_SIGNATURE_INVALID);

    Bytes badSig = sig;
    badSig[0] ^= 0x55; // no longer a type-1 block once decrypted
    EXPECT_EQ(Verify(1, info, badSig), CRYPTO_VERIFY_ERROR);
}

TEST_F(BasicCryptoTest, UnknownMechanismsAreRefusedAfterTheSizeQuery) {
    for (std::uint32_t mech : {0u, 2u, 3u, 71u}) {
        SCOPED_TRACE("mechanism " + std::to_string(mech));
        std::int32_t len = 0;
        EXPECT_EQ(BasicSign(mech, abc_.data(), 3, key_, nullptr, &len), OK);
        EXPECT_EQ(len, 256);
        Bytes sig;
        EXPECT_EQ(Sign(mech, abc_, sig), CRYPTO_MECHANISM_INVALID);
        EXPECT_EQ(Verify(mech, abc_, Bytes(256, 1)), CRYPTO_MECHANISM_INVALID);
    }
}

TEST_F(BasicCryptoTest, EncryptAndDecryptFollowTheirBufferRules) {
    const Bytes plain = ToBytes("the quick brown fox");
    std::int32_t len = 0;
    EXPECT_EQ(BasicAsymEncrypt(0, plain.data(), 19, pub_, nullptr, &len), OK);
    EXPECT_EQ(len, 256);

    Bytes out(256);
    len = 100;
    EXPECT_EQ(BasicAsymEncrypt(0, plain.data(), 19, pub_, out.data(), &len),
              BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 256);

    len = 256;
    ASSERT_EQ(BasicAsymEncrypt(0, plain.data(), 19, pub_, out.data(), &len), OK);
    ASSERT_EQ(len, 256);

    Bytes back(256);
    std::int32_t backLen = 255;
    EXPECT_EQ(BasicAsymDecrypt(0, out.data(), 256, key_, back.data(), &backLen),
              BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(backLen, 256);
    backLen = 256;
    ASSERT_EQ(BasicAsymDecrypt(0, out.data(), 256, key_, back.data(), &backLen), OK);
    back.resize(static_cast<size_t>(backLen));
    EXPECT_EQ(back, plain);

    out[10] ^= 1;
    backLen = 256;
    EXPECT_EQ(BasicAsymDecrypt(0, out.data(), 256, key_, back.data(), &backLen),
              CRYPTO_DECRYPT_ERROR);
    // A public key cannot decrypt; a message longer than the padding allows cannot be encrypted.
    backLen = 256;
    EXPECT_EQ(BasicAsymDecrypt(0, out.data(), 256, pub_, back.data(), &backLen),
              CRYPTO_DECRYPT_ERROR);
    Bytes tooLong(246, 'x');
    len = 256;
    EXPECT_EQ(BasicAsymEncrypt(0, tooLong.data(), 246, pub_, out.data(), &len),
              CRYPTO_ENCRYPT_ERROR);
}

// Inputs that cannot describe a buffer, or keys that cannot do the operation, fail cleanly.
TEST_F(BasicCryptoTest, UnusableInputFailsWithoutTouchingMemory) {
    Bytes sig(256);
    std::int32_t len = 256;
    EXPECT_EQ(BasicSign(1, abc_.data(), -1, key_, sig.data(), &len), CRYPTO_SIGN_ERROR);
    EXPECT_EQ(BasicSign(64, nullptr, 3, key_, sig.data(), &len), CRYPTO_SIGN_ERROR);
    EXPECT_EQ(BasicSign(64, abc_.data(), 3, key_, sig.data(), nullptr), BASIC_ARGUMENTS_BAD);
    EXPECT_EQ(BasicVerify(1, abc_.data(), 3, pub_, sig.data(), -5), CRYPTO_VERIFY_ERROR);
    EXPECT_EQ(BasicVerify(64, abc_.data(), -3, pub_, sig.data(), 256), CRYPTO_VERIFY_ERROR);
    len = 256;
    EXPECT_EQ(BasicAsymEncrypt(0, abc_.data(), -3, pub_, sig.data(), &len), CRYPTO_ENCRYPT_ERROR);

    // No key: a size query reports 0 (the agent's failure signal); an operation fails.
    len = 99;
    EXPECT_EQ(BasicSign(64, abc_.data(), 3, nullptr, nullptr, &len), OK);
    EXPECT_EQ(len, 0);
    len = 256;
    EXPECT_EQ(BasicSign(64, abc_.data(), 3, nullptr, sig.data(), &len), CRYPTO_SIGN_ERROR);
    EXPECT_EQ(BasicVerify(1, abc_.data(), 3, nullptr, sig.data(), 256), CRYPTO_VERIFY_ERROR);
    EXPECT_EQ(BasicVerify(64, abc_.data(), 3, nullptr, sig.data(), 256), CRYPTO_VERIFY_ERROR);

    // The raw paths need an RSA key.
    PkeyPtr ec(EVP_EC_gen("P-256"));
    ASSERT_TRUE(ec);
    len = 256;
    EXPECT_EQ(BasicSign(1, abc_.data(), 3, ec.get(), sig.data(), &len), CRYPTO_SIGN_ERROR);
    EXPECT_EQ(BasicVerify(1, abc_.data(), 3, ec.get(), sig.data(), 64), CRYPTO_VERIFY_ERROR);
}

// A modulus of 6144 bits recovers blocks longer than a fixed 728-byte work buffer would hold.
TEST(BasicCryptoLargeKey, RawVerificationHandlesBlocksBeyond728Bytes) {
    PkeyPtr key = MakeRsaKey(6144, 4);
    ASSERT_TRUE(key);
    PkeyPtr pub = PublicOnly(key.get());
    Bytes data(740);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 7);
    }
    Bytes sig(768);
    std::int32_t len = 768;
    ASSERT_EQ(BasicSign(1, data.data(), 740, key.get(), sig.data(), &len), OK);
    ASSERT_EQ(len, 768);
    EXPECT_EQ(BasicVerify(1, data.data(), 740, pub.get(), sig.data(), 768), OK);
    data[739] ^= 1;
    EXPECT_EQ(BasicVerify(1, data.data(), 740, pub.get(), sig.data(), 768),
              CRYPTO_RAW_SIGNATURE_INVALID);
}

} // namespace
