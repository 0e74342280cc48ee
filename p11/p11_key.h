// The PKCS#11 binding: the only code that talks to the card middleware.
//
// Every operation returns a raw Cryptoki return value as the module gave it (0 = CKR_OK), or
// one of the binding's own: CKR_FUNCTION_FAILED, CKR_ARGUMENTS_BAD, CKR_CRYPTOKI_NOT_INITIALIZED,
// CKR_BUFFER_TOO_SMALL. Slot ids, session and object handles cross this interface as 32-bit
// values; a module value that does not fit 32 bits is refused with CKR_FUNCTION_FAILED rather
// than cut. No operation throws.
#pragma once

#include <cstdint>
#include <vector>

#include "cryptoki.h"
#include "platform/types.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

using P11_RV = std::uint32_t;

// A loaded and initialised module.
struct PKCS11_MODULE {
    plat::ModuleHandle handle;      // kept only to unload the library
    CK_FUNCTION_LIST_PTR functions; // every call goes through this table
};

// The one token session of a library handle.
struct PKCS11_SESSION {
    std::uint32_t handle;
    std::uint8_t opened;   // the session is open and must be closed
    std::uint8_t loggedIn; // C_Login succeeded and C_Logout is due
    std::uint32_t slotId;
};

inline constexpr std::uint32_t P11_ID_MAX = 256; // bytes of CKA_ID a record holds

struct PKCS11_KEY_OBJ {
    std::uint32_t session;
    std::uint32_t object;
    std::uint32_t keyClass; // CKO_PRIVATE_KEY or CKO_PUBLIC_KEY, the class searched for
    unsigned char id[P11_ID_MAX];
    std::uint32_t idLen;
};

struct PKCS11_CERT_OBJ {
    std::uint32_t session;
    std::uint32_t object;
    // CKA_VALUE, the certificate's DER encoding, held at its real size.
    std::vector<unsigned char> value;
    unsigned char id[P11_ID_MAX];
    std::uint32_t idLen;
};

// What a card key needs to reach its private key on the token.
struct PKCS11_KEY_BINDING {
    CK_FUNCTION_LIST_PTR functions;
    std::uint32_t session;
    std::uint32_t key;
};

// ---- Module, slots and sessions ----

P11_RV p11_load_module(const char* fileName, PKCS11_MODULE* module) noexcept;
// Finalises and unloads. A C_Finalize failure other than CKR_CRYPTOKI_NOT_INITIALIZED leaves the
// module loaded and the record unchanged.
P11_RV p11_unload_module(PKCS11_MODULE* module) noexcept;

P11_RV p11_get_info(const PKCS11_MODULE* module, CK_INFO* info) noexcept;
// Lists every slot, with or without a card. `count`: capacity of `slots` in, number written out.
// More slots than the capacity: CKR_BUFFER_TOO_SMALL with `count` unchanged. A null `slots`
// within the capacity writes nothing and sets `count` to the number of slots.
P11_RV p11_get_slot_list(const PKCS11_MODULE* module, std::uint32_t* slots,
                         std::uint32_t* count) noexcept;
P11_RV p11_get_slot_info(const PKCS11_MODULE* module, std::uint32_t slot,
                         CK_SLOT_INFO* info) noexcept;
P11_RV p11_get_token_info(const PKCS11_MODULE* module, std::uint32_t slot,
                          CK_TOKEN_INFO* info) noexcept;
P11_RV p11_open_session(const PKCS11_MODULE* module, std::uint32_t slot, std::uint32_t flags,
                        std::uint32_t* session) noexcept;
P11_RV p11_close_session(const PKCS11_MODULE* module, std::uint32_t session) noexcept;
// `pin` is zero-terminated; its bytes up to the terminator are passed as they are.
P11_RV p11_login(const PKCS11_MODULE* module, std::uint32_t session, const char* pin,
                 std::uint32_t userType) noexcept;
P11_RV p11_logout(const PKCS11_MODULE* module, std::uint32_t session) noexcept;
P11_RV p11_get_session_info(const PKCS11_MODULE* module, std::uint32_t session,
                            CK_SESSION_INFO* info) noexcept;

// ---- Token objects ----

// Lists the objects of a key class (CKO_PUBLIC_KEY or CKO_PRIVATE_KEY) into `keys` (may be null
// with a capacity of 0 to count only). `count`: capacity in, number found out. More objects than
// the capacity with an array: CKR_BUFFER_TOO_SMALL, the records up to the capacity filled.
P11_RV p11_enum_keys(const PKCS11_MODULE* module, std::uint32_t session, std::uint32_t keyClass,
                     PKCS11_KEY_OBJ* keys, std::uint32_t* count) noexcept;
P11_RV p11_enum_certs(const PKCS11_MODULE* module, std::uint32_t session, PKCS11_CERT_OBJ* certs,
                      std::uint32_t* count) noexcept;

// Find the first object with the id. `*out` is null when nothing matches; otherwise it is a new
// record owned by the caller (p11_free_key_obj / p11_free_cert_obj) even when an error follows.
// An id longer than P11_ID_MAX bytes is refused with CKR_ARGUMENTS_BAD.
P11_RV p11_find_key(const PKCS11_MODULE* module, std::uint32_t session, std::uint32_t keyClass,
                    const unsigned char* id, std::uint32_t idLen, PKCS11_KEY_OBJ** out) noexcept;
P11_RV p11_find_cert(const PKCS11_MODULE* module, std::uint32_t session, const unsigned char* id,
                     std::uint32_t idLen, PKCS11_CERT_OBJ** out) noexcept;
void p11_free_key_obj(PKCS11_KEY_OBJ* key) noexcept;
void p11_free_cert_obj(PKCS11_CERT_OBJ* cert) noexcept;

// New X509 from the record's value, or null when it is not a certificate.
X509* p11_cert_to_x509(const PKCS11_CERT_OBJ* cert) noexcept;

// New EVP_PKEY holding an RSA key whose private-key operations the card performs through the
// session; null when the module gives no modulus and public exponent for the key. The key keeps
// the session and the module's function table: it is usable while both stay open.
EVP_PKEY* p11_key_to_evp(const PKCS11_MODULE* module, std::uint32_t session,
                         std::uint32_t key) noexcept;

// New BIGNUM of an attribute's big-endian bytes (at most 1,024 of them), or null.
BIGNUM* p11_get_attr_bn(const PKCS11_MODULE* module, std::uint32_t session, std::uint32_t object,
                        CK_ATTRIBUTE_TYPE type) noexcept;

// The process-wide RSA method of card keys: the default method with the private-key
// operations, sign and verify replaced. Made on first use.
const RSA_METHOD* p11_rsa_method() noexcept;
