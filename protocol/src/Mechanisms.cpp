#include "protocol/Mechanisms.h"

namespace tessivo {

namespace {

struct AlgorithmEntry {
    HashAlgorithm algorithm;
    const char* name; // the WebCrypto name; null for those pages never get
    const char* opensslName;
    std::size_t length;
    const char* oid; // the algorithm's object identifier, dotted
};

constexpr AlgorithmEntry kAlgorithms[] = {
    {HashAlgorithm::Md5, nullptr, "MD5", 16, "1.2.840.113549.2.5"},
    {HashAlgorithm::Sha1, nullptr, "SHA1", 20, "1.3.14.3.2.26"},
    {HashAlgorithm::Sha224, "SHA-224", "SHA224", 28, "2.16.840.1.101.3.4.2.4"},
    {HashAlgorithm::Sha256, "SHA-256", "SHA256", 32, "2.16.840.1.101.3.4.2.1"},
    {HashAlgorithm::Sha384, "SHA-384", "SHA384", 48, "2.16.840.1.101.3.4.2.2"},
    {HashAlgorithm::Sha512, "SHA-512", "SHA512", 64, "2.16.840.1.101.3.4.2.3"},
};

// The DER contents of a dotted object identifier (X.690, 8.19): the first two arcs as one
// number, each number in base 128, most significant group first, every byte but a number's last
// with its high bit set.
std::vector<std::uint8_t> OidContents(const char* dotted) {
    std::vector<unsigned long> arcs(1, 0);
    for (const char* c = dotted; *c != '\0'; ++c) {
        if (*c == '.') {
            arcs.push_back(0);
        } else {
            arcs.back() = arcs.back() * 10 + static_cast<unsigned long>(*c - '0');
        }
    }
    arcs[1] += arcs[0] * 40;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 1; i < arcs.size(); ++i) {
        std::size_t groups = 1;
        for (unsigned long rest = arcs[i] >> 7; rest != 0; rest >>= 7) {
            ++groups;
        }
        while (groups-- > 0) {
            const auto group = static_cast<std::uint8_t>((arcs[i] >> (7 * groups)) & 0x7f);
            out.push_back(groups > 0 ? group | 0x80 : group);
        }
    }
    return out;
}

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

// SEQUENCE { SEQUENCE { OBJECT IDENTIFIER, NULL }, OCTET STRING hash }: every length here is
// below 128, so each is one byte.
std::vector<std::uint8_t> DigestInfo(HashAlgorithm algorithm,
                                     const std::vector<std::uint8_t>& hash) {
    const AlgorithmEntry& e = Entry(algorithm);
    if (hash.size() != e.length) {
        return {};
    }
    const std::vector<std::uint8_t> oid = OidContents(e.oid);
    const std::size_t identifier = 2 + oid.size() + 2;
    std::vector<std::uint8_t> out = {
        0x30, static_cast<std::uint8_t>(2 + identifier + 2 + hash.size()),
        0x30, static_cast<std::uint8_t>(identifier),
        0x06, static_cast<std::uint8_t>(oid.size())};
    out.insert(out.end(), oid.begin(), oid.end());
    out.insert(out.end(), {0x05, 0x00, 0x04, static_cast<std::uint8_t>(hash.size())});
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

} // namespace tessivo
