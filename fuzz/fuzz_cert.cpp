// Certificate parsing and every certificate accessor of the library on arbitrary bytes.
//
// The input is parsed both as one DER certificate and as a PKCS#7 bundle; every certificate
// that comes out is read with each accessor three times: with a large buffer, with a heap buffer
// of exactly the capacity the result needs and with one a byte short of it. The exact and short
// buffers are separate allocations of just that size, so AddressSanitizer sees any write past
// them. A short buffer must be answered with BASIC_BUFFER_TOO_SMALL.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include "vantrel.h"

namespace {

// An accessor with its certificate and any other argument already bound.
using Accessor = std::function<VR_RESULT(char* buf, std::int32_t* len)>;

constexpr std::int32_t kLargeCapacity = 64 * 1024;

[[noreturn]] void Fail(const char* name, const char* what, std::int32_t capacity, VR_RESULT r) {
    std::fprintf(stderr, "%s: %s (capacity %d, result 0x%08X)\n", name, what,
                 static_cast<int>(capacity), static_cast<unsigned>(r));
    std::abort();
}

// One call with a fresh heap buffer of exactly `capacity` bytes.
VR_RESULT CallWith(const Accessor& call, std::int32_t capacity, std::int32_t& len,
                   std::vector<char>* out = nullptr) {
    // Never null, even for capacity 0: a null buffer asks a different question (a length
    // query or, for directory attributes, a presence test).
    std::unique_ptr<char[]> buf(new char[static_cast<std::size_t>(std::max(capacity, 0))]);
    len = capacity;
    const VR_RESULT r = call(buf.get(), &len);
    if (out != nullptr && r == OK && len >= 0 && len <= capacity) {
        out->assign(buf.get(), buf.get() + len);
    }
    return r;
}

// The large buffer is kept between calls: only its size matters.
VR_RESULT CallLarge(const Accessor& call, std::int32_t& len, std::vector<char>& out) {
    static std::vector<char> buf(kLargeCapacity);
    len = kLargeCapacity;
    const VR_RESULT r = call(buf.data(), &len);
    if (r == OK && len >= 0 && len <= kLargeCapacity) {
        out.assign(buf.data(), buf.data() + len);
    }
    return r;
}

void CheckAccessor(const char* name, const Accessor& call) {
    std::int32_t len = 0;
    std::vector<char> large;
    const VR_RESULT r = CallLarge(call, len, large);
    if (r != OK) {
        // A value too long for the large buffer still reports its length honestly.
        if (r == BASIC_BUFFER_TOO_SMALL && len >= 0 && len < kLargeCapacity) {
            Fail(name, "too small for a result that fits", kLargeCapacity, r);
        }
        return;
    }
    if (len < 0 || len > kLargeCapacity) {
        Fail(name, "length out of range", kLargeCapacity, r);
    }
    // The exact capacity: the length itself, or one more where a terminating zero follows.
    // The integer form of a directory attribute reports length 4 but needs room for all its
    // content bytes: the smallest capacity that works is then searched for.
    std::int32_t exact = -1;
    std::vector<char> got;
    auto works = [&](std::int32_t capacity) {
        std::int32_t n = 0;
        if (CallWith(call, capacity, n, &got) != OK) {
            return false;
        }
        if (n != len || got != large) {
            Fail(name, "a larger buffer gives another result", capacity, OK);
        }
        return true;
    };
    if (works(len)) {
        exact = len;
    } else if (works(len + 1)) {
        exact = len + 1;
    } else if (works(kLargeCapacity)) {
        std::int32_t low = len + 1; // fails
        std::int32_t high = kLargeCapacity;
        while (high - low > 1) {
            const std::int32_t mid = low + (high - low) / 2;
            (works(mid) ? high : low) = mid;
        }
        exact = high;
    } else {
        Fail(name, "no buffer of exactly the size succeeds", kLargeCapacity, r);
    }
    if (exact > 0) {
        std::int32_t n = 0;
        const VR_RESULT shortResult = CallWith(call, exact - 1, n);
        if (shortResult != BASIC_BUFFER_TOO_SMALL) {
            Fail(name, "short buffer not refused", exact - 1, shortResult);
        }
    }
}

void ReadCertificate(VR_CERT cert) {
    using CharFn = VR_RESULT (*)(VR_CERT, char*, std::int32_t*);
    using ByteFn = VR_RESULT (*)(VR_CERT, unsigned char*, std::int32_t*);
    struct Named {
        const char* name;
        CharFn fn;
    };
    const Named texts[] = {
        {"GetCertSignatureAlgorithm", GetCertSignatureAlgorithm},
        {"GetSubjectAltName", GetSubjectAltName},
        {"GetCAIssuers", GetCAIssuers},
        {"GetOCSP", GetOCSP},
        {"GetCertPolicyOID", GetCertPolicyOID},
        {"GetSubjectTypeOID", GetSubjectTypeOID},
        {"GetSubjectHolderRank", GetSubjectHolderRank},
        {"GetTailOfCitizenID", GetTailOfCitizenID},
        {"GetUniformOrganizationID", GetUniformOrganizationID},
        {"GetEntityOID", GetEntityOID},
        {"GetGroupID", GetGroupID},
        {"GetCertTypeID", GetCertTypeID},
        {"GetUID", GetUID},
        {"GetCardID", GetCardID},
    };
    for (const Named& t : texts) {
        CheckAccessor(t.name, [&](char* b, std::int32_t* l) { return t.fn(cert, b, l); });
    }
    struct NamedBytes {
        const char* name;
        ByteFn fn;
    };
    const NamedBytes bytes[] = {
        {"Cert2DER", Cert2DER},
        {"GetCertSerialNumber", GetCertSerialNumber},
        {"GetCertAuthorityKeyIdentifier", GetCertAuthorityKeyIdentifier},
        {"GetSubjectKeyIdentifier", GetSubjectKeyIdentifier},
        {"GetKeyUsage", GetKeyUsage},
    };
    for (const NamedBytes& b : bytes) {
        CheckAccessor(b.name, [&](char* buf, std::int32_t* l) {
            return b.fn(cert, reinterpret_cast<unsigned char*>(buf), l);
        });
    }
    for (std::int32_t reverse : {0, 1}) {
        CheckAccessor("GetSubjectDN",
                      [&](char* b, std::int32_t* l) { return GetSubjectDN(cert, reverse, b, l); });
        CheckAccessor("GetIssuerDN",
                      [&](char* b, std::int32_t* l) { return GetIssuerDN(cert, reverse, b, l); });
    }
    for (std::int32_t index : {0, 1, 2, -1}) {
        CheckAccessor("GetCRLDistributionPoint", [&](char* b, std::int32_t* l) {
            return GetCRLDistributionPoint(cert, index, b, l);
        });
    }
    for (const char* oid : {"2.5.29.15", "2.5.29.17", "2.5.29.9", "2.5.29.31", "2.5.29.32",
                            "1.3.6.1.5.5.7.1.1", "2.5.29.19", "not an oid"}) {
        CheckAccessor("GetExtensionDER", [&](char* b, std::int32_t* l) {
            std::int32_t critical = -1;
            return GetExtensionDER(cert, oid, &critical, reinterpret_cast<unsigned char*>(b), l);
        });
    }
    for (const char* method : {"1.3.6.1.5.5.7.48.1", "1.3.6.1.5.5.7.48.2", ""}) {
        CheckAccessor("GetAuthorityInfoAccess", [&](char* b, std::int32_t* l) {
            return GetAuthorityInfoAccess(cert, method, b, l);
        });
    }
    for (const char* oid : {"2.16.886.1.100.2.1", "2.16.886.1.100.2.51", "2.16.886.1.100.2.101",
                            "1.3.6.1.5.5.7.9.1", "0.9.2342.19200300.100.1.1"}) {
        CheckAccessor("GetSubjectDirectoryAttribute", [&](char* b, std::int32_t* l) {
            return GetSubjectDirectoryAttribute(cert, oid, b, l);
        });
    }

    IsKeyUsageSignature(cert);
    IsKeyUsageEncipherment(cert);
    std::int32_t presence = 0;
    GetKeyUsage(cert, nullptr, &presence);
    GetKeyUsage(cert, nullptr, nullptr);
    std::int32_t sigalgLen = 0;
    GetCertSignatureAlgorithm(cert, nullptr, &sigalgLen);
    struct tm t {};
    GetNotBefore(cert, &t);
    GetNotAfter(cert, &t);
    VR_KEY key = nullptr;
    GetCertPublicKey(cert, &key);
    if (key != nullptr) {
        FreeKey(key);
    }
    VerifyCert(cert, cert);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(size, INT32_MAX));

    VR_CERT cert = nullptr;
    if (DER2Cert(data, length, &cert) == OK) {
        ReadCertificate(cert);
        FreeCert(cert);
    }

    P7B2Cert(data, length, nullptr, nullptr);
    // Capacity 0 asks for the count; one short must be refused without a write past the array.
    std::int32_t count = 0;
    VR_CERT none = nullptr;
    if (P7B2Cert(data, length, &none, &count) != BASIC_BUFFER_TOO_SMALL || count <= 0 ||
        count > 256) {
        return 0;
    }
    const std::int32_t total = count;
    if (total > 1) {
        std::unique_ptr<VR_CERT[]> fewer(new VR_CERT[static_cast<std::size_t>(total - 1)]);
        count = total - 1;
        const VR_RESULT r = P7B2Cert(data, length, fewer.get(), &count);
        if (r != BASIC_BUFFER_TOO_SMALL || count != total) {
            Fail("P7B2Cert", "short certificate array not refused", total - 1, r);
        }
    }
    std::unique_ptr<VR_CERT[]> certs(new VR_CERT[static_cast<std::size_t>(total)]);
    count = total;
    if (P7B2Cert(data, length, certs.get(), &count) == OK) {
        for (std::int32_t i = 0; i < count; ++i) {
            ReadCertificate(certs[i]);
            FreeCert(certs[i]);
        }
    }
    return 0;
}
