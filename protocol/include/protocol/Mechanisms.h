// The signing mechanisms the agent takes (PKCS#11 mechanism numbers) and the DigestInfo that a
// raw PKCS#1 v1.5 signature (CKM_RSA_PKCS) signs when the hash was made elsewhere: the DER
// prefix of the hash algorithm (RFC 8017, section 9.2, note 1) followed by the hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessivo {

// MD5 and SHA-1 only for the command line's signing mechanisms, which still offer them.
enum class HashAlgorithm { Md5, Sha1, Sha224, Sha256, Sha384, Sha512 };

// The PKCS#11 numbers of the CKM_ mechanisms of the same names; named apart from the macros so
// that a unit may include both.
inline constexpr std::uint32_t kRsaPkcs = 0x01;
inline constexpr std::uint32_t kMd5RsaPkcs = 0x05;
inline constexpr std::uint32_t kSha1RsaPkcs = 0x06;
inline constexpr std::uint32_t kSha256RsaPkcs = 0x40;
inline constexpr std::uint32_t kSha384RsaPkcs = 0x41;
inline constexpr std::uint32_t kSha512RsaPkcs = 0x42;
inline constexpr std::uint32_t kSha224RsaPkcs = 0x46;

struct Mechanism {
    std::uint32_t number;
    const char* name;      // the CKM_ name
    const char* shortName; // the command line's name
    // The hash a hash-then-sign mechanism makes; empty for CKM_RSA_PKCS, which signs its bytes.
    std::optional<HashAlgorithm> hash;
};

// Every mechanism the agent signs with.
const std::vector<Mechanism>& Mechanisms();
// By number or by short name (raw, md5, sha1, sha224, sha256, sha384, sha512); null when none.
const Mechanism* FindMechanism(std::uint32_t number);
const Mechanism* FindMechanism(const std::string& shortName);

// "SHA-224", "SHA-256", "SHA-384", "SHA-512" (the WebCrypto names); empty for anything else,
// MD5 and SHA-1 included: a web page never gets them.
std::optional<HashAlgorithm> HashAlgorithmFromName(const std::string& name);
const char* HashAlgorithmName(HashAlgorithm algorithm);
// The hash's length in bytes.
std::size_t HashLength(HashAlgorithm algorithm);
// OpenSSL's name of the digest ("MD5", "SHA1", "SHA224", ...).
const char* HashOpenSslName(HashAlgorithm algorithm);

// The DER DigestInfo of `hash`; empty when the hash's length is not the algorithm's.
std::vector<std::uint8_t> DigestInfo(HashAlgorithm algorithm,
                                     const std::vector<std::uint8_t>& hash);

} // namespace tessivo
