#include "protocol/Mechanisms.h"

namespace tessivo {

namespace {

struct AlgorithmEntry {
    HashAlgorithm algorithm;
    const char* name; // the WebCrypto name; null for those pages never get
    const char* opensslName;
    std::size_t length;
    // SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING (length) }, up to the hash itself.
    std::uint8_t prefix[19];
    std::size_t prefixLength = 19;
};

constexpr AlgorithmEntry kAlgorithms[] = {
    {HashAlgorithm::Md5,
     nullptr,
     "MD5",
     16,
     {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05,
      0x00, 0x04, 0x10},
     18},
    {HashAlgorithm::Sha1,
     nullptr,
     "SHA1",
     20,
     {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14},
     15},
    {HashAlgorithm::Sha224,
     "SHA-224",
     "SHA224",
     28,
     {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04,
      0x05, 0x00, 0x04, 0x1c}},
    {HashAlgorithm::Sha256,
     "SHA-256",
     "SHA256",
     32,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
      0x05, 0x00, 0x04, 0x20}},
    {HashAlgorithm::Sha384,
     "SHA-384",
     "SHA384",
     48,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
      0x05, 0x00, 0x04, 0x30}},
    {HashAlgorithm::Sha512,
     "SHA-512",
     "SHA512",
     64,
     {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03,
      0x05, 0x00, 0x04, 0x40}},
};

const AlgorithmEntry& Entry(HashAlgorithm algorithm) {
    for (const AlgorithmEntry& e : kAlgorithms) {
        if (e.algorithm == algorithm) {
            return e;
        }
    }
    return kAlgorithms[3];
}

} // namespace

const std::vector<Mechanism>& Mechanisms() {
    static const std::vector<Mechanism> kMechanisms = {
        {kRsaPkcs, "CKM_RSA_PKCS", "raw", std::nullopt},
        {kMd5RsaPkcs, "CKM_MD5_RSA_PKCS", "md5", HashAlgorithm::Md5},
        {kSha1RsaPkcs, "CKM_SHA1_RSA_PKCS", "sha1", HashAlgorithm::Sha1},
        {kSha224RsaPkcs, "CKM_SHA224_RSA_PKCS", "sha224", HashAlgorithm::Sha224},
        {kSha256RsaPkcs, "CKM_SHA256_RSA_PKCS", "sha256", HashAlgorithm::Sha256},
        {kSha384RsaPkcs, "CKM_SHA384_RSA_PKCS", "sha384", HashAlgorithm::Sha384},
        {kSha512RsaPkcs, "CKM_SHA512_RSA_PKCS", "sha512", HashAlgorithm::Sha512},
    };
    return kMechanisms;
}

const Mechanism* FindMechanism(std::uint32_t number) {
    for (const Mechanism& m : Mechanisms()) {
        if (m.number == number) {
            return &m;
        }
    }
    return nullptr;
}

const Mechanism* FindMechanism(const std::string& shortName) {
    for (const Mechanism& m : Mechanisms()) {
        if (shortName == m.shortName) {
            return &m;
        }
    }
    return nullptr;
}

std::optional<HashAlgorithm> HashAlgorithmFromName(const std::string& name) {
    for (const AlgorithmEntry& e : kAlgorithms) {
        if (e.name != nullptr && name == e.name) {
            return e.algorithm;
        }
    }
    return std::nullopt;
}

const char* HashAlgorithmName(HashAlgorithm algorithm) {
    const AlgorithmEntry& e = Entry(algorithm);
    return e.name != nullptr ? e.name : e.opensslName;
}

const char* HashOpenSslName(HashAlgorithm algorithm) {
    return Entry(algorithm).opensslName;
}

std::size_t HashLength(HashAlgorithm algorithm) {
    return Entry(algorithm).length;
}

std::vector<std::uint8_t> DigestInfo(HashAlgorithm algorithm,
                                     const std::vector<std::uint8_t>& hash) {
    const AlgorithmEntry& e = Entry(algorithm);
    if (hash.size() != e.length) {
        return {};
    }
    std::vector<std::uint8_t> out(e.prefix, e.prefix + e.prefixLength);
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

} // namespace tessivo
