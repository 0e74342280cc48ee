// The DigestInfo that a raw PKCS#1 v1.5 signature (CKM_RSA_PKCS) signs when the hash was made
// elsewhere: the DER prefix of the hash algorithm (RFC 8017, section 9.2, note 1) followed by
// the hash. Self-contained: no other unit of the peer is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace peer {

// MD5 and SHA-1 only for the command line's signing mechanisms, which still offer them.
enum class hash_algorithm { md5, sha1, sha224, sha256, sha384, sha512 };

// "SHA-224", "SHA-256", "SHA-384", "SHA-512" (the WebCrypto names); empty for anything else,
// MD5 and SHA-1 included: a web page never gets them.
std::optional<hash_algorithm> hash_algorithm_from_name(const std::string& name);
const char* hash_algorithm_name(hash_algorithm algorithm);
// The hash's length in bytes.
std::size_t hash_length(hash_algorithm algorithm);
// OpenSSL's name of the digest ("MD5", "SHA1", "SHA224", ...).
const char* hash_openssl_name(hash_algorithm algorithm);

// The DER DigestInfo of `hash`; empty when the hash's length is not the algorithm's.
std::vector<std::uint8_t> digest_info(hash_algorithm algorithm,
                                      const std::vector<std::uint8_t>& hash);

} // namespace peer
