// The binding on a real token: objects by class and id, and card keys doing RSA through the
// token. Signatures are checked against OpenSSL's own signature with the key file (PKCS#1 v1.5
// is deterministic) and, on Linux, against OpenSC's pkcs11-tool and the openssl command.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "p11/p11_key.h"
#include "tests/p11/card_env.h"

namespace {

using Bytes = std::vector<unsigned char>;

using fixtures::MdCtxPtr;
using fixtures::PkeyCtxPtr;
using fixtures::PkeyPtr;
using fixtures::X509Ptr;

Bytes Sha256(const std::string& data) {
    Bytes digest(32);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_sha256(), nullptr);
    return digest;
}

// OpenSSL's own PKCS#1 v1.5 SHA-256 signature with the key file.
Bytes SoftwareSign(const std::string& keyPem, const std::string& data) {
    PkeyPtr key = fixtures::ReadPrivateKey(keyPem);
    return fixtures::ReferenceSignature(key.get(), EVP_sha256(), Bytes(data.begin(), data.end()));
}

Bytes Id(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

class CardBinding : public ::testing::Test {
protected:
    void SetUp() override {
        cardenv::Card& card = cardenv::SharedCard();
        ASSERT_EQ(p11_load_module(card.ModulePath().c_str(), &module_), CKR_OK);
        ASSERT_TRUE(FindCardSlot(slot_));
        ASSERT_EQ(p11_open_session(&module_, slot_, CKF_SERIAL_SESSION, &session_), CKR_OK);
        ASSERT_EQ(p11_login(&module_, &session_, cardenv::kPin, CKU_USER), CKR_OK);
    }
    void TearDown() override {
        if (module_.functions != nullptr) {
            p11_logout(&module_, &session_);
            p11_close_session(&module_, &session_);
            EXPECT_EQ(p11_unload_module(&module_), CKR_OK);
        }
    }

    bool FindCardSlot(std::uint32_t& slot) {
        std::uint32_t ids[16];
        std::uint32_t count = 16;
        if (p11_get_slot_list(&module_, ids, &count) != CKR_OK) {
            return false;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            CK_TOKEN_INFO info;
            if (p11_get_token_info(&module_, ids[i], &info) == CKR_OK &&
                std::memcmp(info.label, "Tessivo Card ", 13) == 0) {
                slot = ids[i];
                return true;
            }
        }
        return false;
    }

    PkeyPtr CardKey(const char* id) {
        PKCS11_KEY_OBJ* raw = nullptr;
        const Bytes bytes = Id(id);
        EXPECT_EQ(p11_find_key(&module_, &session_, CKO_PRIVATE_KEY, bytes.data(),
                               static_cast<std::uint32_t>(bytes.size()), &raw),
                  CKR_OK);
        if (raw == nullptr) {
            return nullptr;
        }
        PkeyPtr key(p11_key_to_evp(&module_, &session_, raw->object));
        p11_free_key_obj(raw);
        return key;
    }

    RSA* CardRsa(PkeyPtr& key) { return const_cast<RSA*>(EVP_PKEY_get0_RSA(key.get())); }

    PKCS11_MODULE module_{};
    std::uint32_t slot_ = 0;
    PKCS11_SESSION session_{};
};

TEST_F(CardBinding, CountsAndListsObjects) {
    std::uint32_t count = 0;
    ASSERT_EQ(p11_enum_keys(&module_, &session_, CKO_PRIVATE_KEY, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);

    PKCS11_CERT_OBJ certs[2];
    count = 2;
    EXPECT_EQ(p11_enum_certs(&module_, &session_, certs, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3u);
    std::set<std::string> ids;
    for (const PKCS11_CERT_OBJ& c : certs) {
        ids.insert(std::string(c.id, c.id + c.idLen));
        X509Ptr x(p11_cert_to_x509(&c));
        EXPECT_NE(x, nullptr);
    }
    EXPECT_EQ(ids.size(), 2u);
    for (const std::string& id : ids) {
        EXPECT_TRUE(id == "SIGN" || id == "KEYX" || id == "BIG1") << id;
    }
}

TEST_F(CardBinding, FindsByIdOrReportsNothing) {
    PKCS11_CERT_OBJ* cert = nullptr;
    const Bytes none = Id("NONE");
    EXPECT_EQ(p11_find_cert(&module_, &session_, none.data(), 4, &cert), CKR_OK);
    EXPECT_EQ(cert, nullptr);
    PKCS11_KEY_OBJ* key = nullptr;
    const Bytes sign = Id("SIGN");
    EXPECT_EQ(p11_find_key(&module_, &session_, CKO_PUBLIC_KEY, sign.data(), 4, &key), CKR_OK);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->keyClass, static_cast<std::uint32_t>(CKO_PUBLIC_KEY));
    EXPECT_EQ(std::string(key->id, key->id + key->idLen), "SIGN");
    p11_free_key_obj(key);
}

TEST_F(CardBinding, CertificateLargerThan4096BytesIsReadWhole) {
    const Bytes expected = fixtures::ReadFileBytes(cardenv::SharedCard().BigCertDer());
    ASSERT_GT(expected.size(), 4096u);
    PKCS11_CERT_OBJ* cert = nullptr;
    const Bytes big = Id("BIG1");
    ASSERT_EQ(p11_find_cert(&module_, &session_, big.data(), 4, &cert), CKR_OK);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(cert->value, expected);
    X509Ptr x(p11_cert_to_x509(cert));
    EXPECT_NE(x, nullptr);
    p11_free_cert_obj(cert);
}

TEST_F(CardBinding, Sha256SignatureIsTheCardsAndVerifies) {
    PkeyPtr key = CardKey("SIGN");
    ASSERT_NE(key, nullptr);
    const std::string data = "Tessivo signs this.";
    const Bytes digest = Sha256(data);
    Bytes sig(RSA_size(CardRsa(key)));
    unsigned int sigLen = 0;
    ASSERT_EQ(RSA_sign(NID_sha256, digest.data(), 32, sig.data(), &sigLen, CardRsa(key)), 1);
    ASSERT_EQ(sigLen, 256u);
    EXPECT_EQ(sig, SoftwareSign(cardenv::SharedCard().Sign().keyPem, data));

    // The EVP path reaches the card the same way.
    MdCtxPtr ctx(EVP_MD_CTX_new());
    Bytes evpSig(256);
    unsigned int evpLen = 0;
    EVP_SignInit(ctx.get(), EVP_sha256());
    EVP_SignUpdate(ctx.get(), data.data(), data.size());
    EXPECT_EQ(EVP_SignFinal(ctx.get(), evpSig.data(), &evpLen, key.get()), 1);
    EXPECT_EQ(evpSig, sig);

    // Verification runs in software on the card key, without coming back into the method.
    EXPECT_EQ(RSA_verify(NID_sha256, digest.data(), 32, sig.data(), sigLen, CardRsa(key)), 1);
    sig[10] ^= 1;
    EXPECT_NE(RSA_verify(NID_sha256, digest.data(), 32, sig.data(), sigLen, CardRsa(key)), 1);
    ERR_clear_error();
}

#ifndef _WIN32
TEST_F(CardBinding, Sha256SignatureEqualsPkcs11ToolsAndOpensslAccepts) {
    PkeyPtr key = CardKey("SIGN");
    ASSERT_NE(key, nullptr);
    cardenv::Card& card = cardenv::SharedCard();
    const std::string dir = card.Hsm().Dir();
    const std::string data = "Data signed by two tools.";
    std::ofstream(dir + "/data.bin", std::ios::binary) << data;
    ASSERT_TRUE(card.Hsm().RunPkcs11Tool(
        cardenv::kLabel, std::string("--login --pin ") + cardenv::kPin +
                             " --sign --mechanism SHA256-RSA-PKCS --id " + fixtures::HexOf("SIGN") +
                             " -i " + dir + "/data.bin -o " + dir + "/tool.sig"));
    const Bytes digest = Sha256(data);
    Bytes sig(256);
    unsigned int sigLen = 0;
    ASSERT_EQ(RSA_sign(NID_sha256, digest.data(), 32, sig.data(), &sigLen, CardRsa(key)), 1);
    EXPECT_EQ(sig, fixtures::ReadFileBytes(dir + "/tool.sig"));
    std::ofstream(dir + "/ours.sig", std::ios::binary)
        .write(reinterpret_cast<const char*>(sig.data()), sigLen);
    EXPECT_TRUE(fixtures::RunCommand("openssl dgst -sha256 -verify " + card.Sign().pubPem +
                                         " -signature " + dir + "/ours.sig " + dir + "/data.bin",
                                     dir + "/verify.log"));
}
#endif

TEST_F(CardBinding, Md5Sha1SignsThe36BytesUnwrapped) {
    PkeyPtr key = CardKey("SIGN");
    ASSERT_NE(key, nullptr);
    Bytes hashes(36);
    for (size_t i = 0; i < hashes.size(); ++i) {
        hashes[i] = static_cast<unsigned char>(i * 7);
    }
    Bytes sig(256);
    unsigned int sigLen = 0;
    ASSERT_EQ(RSA_sign(NID_md5_sha1, hashes.data(), 36, sig.data(), &sigLen, CardRsa(key)), 1);
    PkeyPtr pub = fixtures::ReadPublicKey(cardenv::SharedCard().Sign().pubPem);
    Bytes recovered(256);
    const int n =
        RSA_public_decrypt(static_cast<int>(sigLen), sig.data(), recovered.data(),
                           const_cast<RSA*>(EVP_PKEY_get0_RSA(pub.get())), RSA_PKCS1_PADDING);
    ASSERT_EQ(n, 36);
    recovered.resize(36);
    EXPECT_EQ(recovered, hashes);

    EXPECT_EQ(RSA_sign(NID_md5_sha1, hashes.data(), 20, sig.data(), &sigLen, CardRsa(key)), 0);
    ERR_clear_error();
}

TEST_F(CardBinding, RawOperationWithoutPkcs1PaddingIsRefused) {
    PkeyPtr key = CardKey("SIGN");
    ASSERT_NE(key, nullptr);
    ERR_clear_error();
    Bytes in(256, 1);
    Bytes out(256);
    EXPECT_EQ(RSA_private_encrypt(256, in.data(), out.data(), CardRsa(key), RSA_NO_PADDING), -1);
    const unsigned long err = ERR_peek_last_error();
    EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_USER);
    EXPECT_EQ(ERR_GET_REASON(err), 0xFFE) << "reason -2, low 12 bits";
    ERR_clear_error();
}

TEST_F(CardBinding, CardDecryptsWhatItsPublicKeyEncrypted) {
    PkeyPtr key = CardKey("KEYX");
    ASSERT_NE(key, nullptr);
    PkeyPtr pub = fixtures::ReadPublicKey(cardenv::SharedCard().Keyx().pubPem);
    const Bytes secret = Id("a session key of 24 bytes");
    PkeyCtxPtr enc(EVP_PKEY_CTX_new(pub.get(), nullptr));
    EVP_PKEY_encrypt_init(enc.get());
    EVP_PKEY_CTX_set_rsa_padding(enc.get(), RSA_PKCS1_PADDING);
    Bytes cipher(256);
    size_t cipherLen = cipher.size();
    ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), cipher.data(), &cipherLen, secret.data(), secret.size()),
              1);

    PkeyCtxPtr dec(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_decrypt_init(dec.get()), 1);
    Bytes plain(256);
    size_t plainLen = plain.size();
    EXPECT_EQ(EVP_PKEY_decrypt(dec.get(), plain.data(), &plainLen, cipher.data(), cipherLen), 1);
    plain.resize(plainLen);
    EXPECT_EQ(plain, secret);
}

TEST_F(CardBinding, KeyAfterSessionCloseFailsWithTheModulesCode) {
    PkeyPtr key = CardKey("SIGN");
    ASSERT_NE(key, nullptr);
    p11_logout(&module_, &session_);
    ASSERT_EQ(p11_close_session(&module_, &session_), CKR_OK);
    ERR_clear_error();
    const Bytes digest = Sha256("x");
    Bytes sig(256);
    unsigned int sigLen = 0;
    EXPECT_EQ(RSA_sign(NID_sha256, digest.data(), 32, sig.data(), &sigLen, CardRsa(key)), 0);
    const unsigned long err = ERR_peek_last_error();
    EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_USER);
    EXPECT_EQ(ERR_GET_REASON(err), static_cast<int>(CKR_SESSION_HANDLE_INVALID));
    ERR_clear_error();
    // Reopen so TearDown has a session to end.
    ASSERT_EQ(p11_open_session(&module_, slot_, CKF_SERIAL_SESSION, &session_), CKR_OK);
}

} // namespace
