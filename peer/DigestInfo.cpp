#include "peer/DigestInfo.h"

#include <iterator>

namespace peer {

namespace {

struct algorithm_entry {
    hash_algorithm algorithm;
    const char* name;
    std::size_t length;
    // SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING (length) }, up to the hash itself.
    std::uint8_t prefix[19];
};

constexpr algorithm_entry kAlgorithms[] = {
    {hash_algorithm::sha224,
     "SHA-224",
     28,
     {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04,
      0x05, 0x00, 0x04, 0x1c}},
    {hash_algorithm::sha256,
     "SHA-256",
     32,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
      0x05, 0x00, 0x04, 0x20}},
    {hash_algorithm::sha384,
     "SHA-384",
     48,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
      0x05, 0x00, 0x04, 0x30}},
    {hash_algorithm::sha512,
     "SHA-512",
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
    return kAlgorithms[1];
}

} // namespace

std::optional<hash_algorithm> hash_algorithm_from_name(const std::string& name) {
    for (const algorithm_entry& e : kAlgorithms) {
        if (name == e.name) {
            return e.algorithm;
        }
    }
    return std::nullopt;
}

const char* hash_algorithm_name(hash_algorithm algorithm) {
    return entry(algorithm).name;
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
    std::vector<std::uint8_t> out(std::begin(e.prefix), std::end(e.prefix));
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

} // namespace peer
