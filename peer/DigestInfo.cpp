#include "peer/DigestInfo.h"

namespace peer {

namespace {

struct algorithm_entry {
    hash_algorithm algorithm;
    const char* name;        // the WebCrypto name; null for those pages never get
    const char* opensslName; //
    std::size_t length;
    // SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING (length) }, up to the hash itself.
    std::uint8_t prefix[19];
    std::size_t prefixLength = 19;
};

constexpr algorithm_entry kAlgorithms[] = {
    {hash_algorithm::md5,
     nullptr,
     "MD5",
     16,
     {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05,
      0x00, 0x04, 0x10},
     18},
    {hash_algorithm::sha1,
     nullptr,
     "SHA1",
     20,
     {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14},
     15},
    {hash_algorithm::sha224,
     "SHA-224",
     "SHA224",
     28,
     {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04,
      0x05, 0x00, 0x04, 0x1c}},
    {hash_algorithm::sha256,
     "SHA-256",
     "SHA256",
     32,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
      0x05, 0x00, 0x04, 0x20}},
    {hash_algorithm::sha384,
     "SHA-384",
     "SHA384",
     48,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
      0x05, 0x00, 0x04, 0x30}},
    {hash_algorithm::sha512,
     "SHA-512",
     "SHA512",
     64,
     {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03,
      0x05, 0x00, 0x04, 0x40}},
};

const algorithm_entry& entry(hash_algorithm algorithm) {
    for (const algorithm_entry& e : kAlgorithms) {
        if (e.algorithm == algorithm) {
            return e;
        }
    }
    return kAlgorithms[3];
}

} // namespace

std::optional<hash_algorithm> hash_algorithm_from_name(const std::string& name) {
    for (const algorithm_entry& e : kAlgorithms) {
        if (e.name != nullptr && name == e.name) {
            return e.algorithm;
        }
    }
    return std::nullopt;
}

const char* hash_algorithm_name(hash_algorithm algorithm) {
    const algorithm_entry& e = entry(algorithm);
    return e.name != nullptr ? e.name : e.opensslName;
}

const char* hash_openssl_name(hash_algorithm algorithm) {
    return entry(algorithm).opensslName;
}

std::size_t hash_length(hash_algorithm algorithm) {
    return entry(algorithm).length;
}

std::vector<std::uint8_t> digest_info(hash_algorithm algorithm,
                                      const std::vector<std::uint8_t>& hash) {
    const algorithm_entry& e = entry(algorithm);
    if (hash.size() != e.length) {
        return {};
    }
    std::vector<std::uint8_t> out(e.prefix, e.prefix + e.prefixLength);
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

} // namespace peer
