// The DigestInfo builder against OpenSSL: a raw PKCS#1 v1.5 signature of the DigestInfo must
// verify as OpenSSL's own signature of the data with that hash.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "openssl_owned.h"
#include "protocol/Mechanisms.h"

namespace {

using tessivo::HashAlgorithm;

using Pkey = ossl::PkeyPtr;
using PkeyCtx = ossl::PkeyCtxPtr;
using MdCtx = ossl::MdCtxPtr;

struct Case {
    const char* name; // what HashAlgorithmName gives
    bool web;         // a web page may ask for it
    HashAlgorithm algorithm;
    const EVP_MD* (*md)();
    std::size_t length;
    std::size_t infoLength;
};

const Case kCases[] = {
    {"MD5", false, HashAlgorithm::Md5, EVP_md5, 16, 34},
    {"SHA1", false, HashAlgorithm::Sha1, EVP_sha1, 20, 35},
    {"SHA-224", true, HashAlgorithm::Sha224, EVP_sha224, 28, 47},
    {"SHA-256", true, HashAlgorithm::Sha256, EVP_sha256, 32, 51},
    {"SHA-384", true, HashAlgorithm::Sha384, EVP_sha384, 48, 67},
    {"SHA-512", true, HashAlgorithm::Sha512, EVP_sha512, 64, 83},
};

Pkey MakeKey() {
    PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1 ||
        EVP_PKEY_keygen(ctx.get(), &key) != 1) {
        return nullptr;
    }
    return Pkey(key);
}

std::vector<std::uint8_t> Hash(const EVP_MD* md, const std::string& data) {
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr);
    out.resize(length);
    return out;
}

// What CKM_RSA_PKCS does on a card: type-1 padding around the given bytes, no hashing.
std::vector<std::uint8_t> RawSign(EVP_PKEY* key, const std::vector<std::uint8_t>& input) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    std::size_t length = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length, input.data(), input.size()) != 1) {
        return {};
    }
    std::vector<std::uint8_t> signature(length);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, input.data(), input.size()) != 1) {
        return {};
    }
    signature.resize(length);
    return signature;
}

bool Verifies(EVP_PKEY* key, const EVP_MD* md, const std::string& data,
              const std::vector<std::uint8_t>& signature) {
    MdCtx ctx(EVP_MD_CTX_new());
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

} // namespace

TEST(DigestInfo, RawSignatureOfItVerifiesAsTheHashsSignature) {
    const Pkey key = MakeKey();
    ASSERT_TRUE(key);
    const std::string data = "A form signed in the browser.";
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tessivo::HashAlgorithmFromName(c.name),
                  c.web ? std::optional<HashAlgorithm>(c.algorithm) : std::nullopt);
        EXPECT_STREQ(tessivo::HashAlgorithmName(c.algorithm), c.name);
        EXPECT_EQ(tessivo::HashLength(c.algorithm), c.length);
        const std::vector<std::uint8_t> info = tessivo::DigestInfo(c.algorithm, Hash(c.md(), data));
        ASSERT_EQ(info.size(), c.infoLength);
        const std::vector<std::uint8_t> signature = RawSign(key.get(), info);
        ASSERT_FALSE(signature.empty());
        EXPECT_TRUE(Verifies(key.get(), c.md(), data, signature));
        // The same DigestInfo under another algorithm's name must not pass.
        const Case& other = kCases[(&c - kCases + 1) % std::size(kCases)];
        EXPECT_FALSE(Verifies(key.get(), other.md(), data, signature));
    }
}

TEST(DigestInfo, HashOfAnotherLengthOrUnknownNameIsRefused) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(
            tessivo::DigestInfo(c.algorithm, std::vector<std::uint8_t>(c.length - 1)).empty());
        EXPECT_TRUE(
            tessivo::DigestInfo(c.algorithm, std::vector<std::uint8_t>(c.length + 1)).empty());
        EXPECT_TRUE(tessivo::DigestInfo(c.algorithm, {}).empty());
    }
    for (const char* name : {"SHA-1", "sha-256", "SHA256", "", "MD5", "SHA-256 "}) {
        EXPECT_FALSE(tessivo::HashAlgorithmFromName(name)) << name;
    }
}
