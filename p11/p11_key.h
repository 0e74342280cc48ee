// The PKCS#11 binding: the only code that talks to the card middleware.
//
// Every operation returns a raw Cryptoki return value as the module gave it (0 = CKR_OK), or
// one of the binding's own: CKR_FUNCTION_FAILED, CKR_ARGUMENTS_BAD, CKR_CRYPTOKI_NOT_INITIALIZED,
// CKR_BUFFER_TOO_SMALL; a module whose function list lacks a function the operation needs fails
// it with CKR_FUNCTION_FAILED. Slot ids, session and object handles cross this interface as 32-bit
// ids from the tables in the module and session records (p11_ids.h); the module's own handles,
// of whatever width, stay there. An id that stands for nothing is refused with
// CKR_SLOT_ID_INVALID, CKR_SESSION_HANDLE_INVALID or CKR_OBJECT_HANDLE_INVALID before the module
// is called. No operation throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "cryptoki.h"
#include "p11/p11_ids.h"
#include "platform/secure_memory.h"
#include "platform/types.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

using P11_RV = std::uint32_t;

// A loaded and initialised module.
struct PKCS11_MODULE {
    plat::ModuleHandle handle = nullptr;      // kept only to unload the library
    CK_FUNCTION_LIST_PTR functions = nullptr; // every call goes through this table
    P11HandleIds slotIds;                     // the ids p11_get_slot_list hands out
};

// The PIN a key marked CKA_ALWAYS_AUTHENTICATE needs again for the login before each of its
// signatures. The one PIN copy that outlives the login: on a locked page left out of core dumps,
// wiped at logout, at a failed login and when its session record goes.
class P11ContextPin {
public:
    ~P11ContextPin() { Wipe(); }
    // False, with nothing kept, when no locked page can be had or the PIN does not fit.
    bool Keep(const char* pin) noexcept;
    void Wipe() noexcept;
    bool Held() const noexcept { return page_.Data() != nullptr; }
    CK_UTF8CHAR_PTR Pin() const noexcept { return page_.Data(); }
    CK_ULONG Length() const noexcept { return length_; }

private:
    plat::LockedPage page_;
    std::size_t length_ = 0;
};

// The one token session of a library handle. The first four fields are the record's own; the
// rest is the binding's: the module's handles behind the ids it hands out for this session.
struct PKCS11_SESSION {
    std::uint32_t handle = 0;  // id of the module's session handle in sessionIds
    std::uint8_t opened = 0;   // the session is open and must be closed
    std::uint8_t loggedIn = 0; // C_Login succeeded and C_Logout is due
    std::uint32_t slotId = 0;
    P11HandleIds sessionIds;
    P11HandleIds objectIds; // object ids of the key and certificate records found on it
    // Private keys that need the PIN before every use, as found at login, and that PIN (null when
    // there are none); the keys made of them share it.
    std::vector<CK_OBJECT_HANDLE> perUseKeys;
    std::shared_ptr<P11ContextPin> contextPin;
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
    CK_SESSION_HANDLE session; // the module's own handles, never ids
    CK_OBJECT_HANDLE key;
    // Set for a key with CKA_ALWAYS_AUTHENTICATE: each signature logs in with it first.
    std::shared_ptr<P11ContextPin> contextPin;
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
P11_RV p11_get_slot_list(PKCS11_MODULE* module, std::uint32_t* slots,
                         std::uint32_t* count) noexcept;
P11_RV p11_get_slot_info(const PKCS11_MODULE* module, std::uint32_t slot,
                         CK_SLOT_INFO* info) noexcept;
P11_RV p11_get_token_info(const PKCS11_MODULE* module, std::uint32_t slot,
                          CK_TOKEN_INFO* info) noexcept;
// Opens a session into the record: its handle field gets the id of the module's handle.
P11_RV p11_open_session(const PKCS11_MODULE* module, std::uint32_t slot, std::uint32_t flags,
                        PKCS11_SESSION* session) noexcept;
// Closed: the record's ids are released (its key and certificate records stand for nothing).
P11_RV p11_close_session(const PKCS11_MODULE* module, PKCS11_SESSION* session) noexcept;
// `pin` is zero-terminated; its bytes up to the terminator are passed as they are.
P11_RV p11_login(const PKCS11_MODULE* module, const PKCS11_SESSION* session, const char* pin,
                 std::uint32_t userType) noexcept;
P11_RV p11_logout(const PKCS11_MODULE* module, const PKCS11_SESSION* session) noexcept;
P11_RV p11_get_session_info(const PKCS11_MODULE* module, const PKCS11_SESSION* session,
                            CK_SESSION_INFO* info) noexcept;

// After a successful user login: notes the private keys marked CKA_ALWAYS_AUTHENTICATE and, only
// if there are any, keeps a copy of the PIN for their per-signature logins. A module that cannot
// answer the search leaves nothing kept (such keys then fail to sign rather than the login).
P11_RV p11_keep_context_pin(const PKCS11_MODULE* module, PKCS11_SESSION* session,
                            const char* pin) noexcept;
// Wipes the kept PIN (keys made on the session can no longer sign with it).
void p11_forget_context_pin(PKCS11_SESSION* session) noexcept;

// ---- Token objects ----

// Lists the objects of a key class (CKO_PUBLIC_KEY or CKO_PRIVATE_KEY) into `keys` (may be null
// with a capacity of 0 to count only). `count`: capacity in, number found out. More objects than
// the capacity with an array: CKR_BUFFER_TOO_SMALL, the records up to the capacity filled.
P11_RV p11_enum_keys(const PKCS11_MODULE* module, PKCS11_SESSION* session, std::uint32_t keyClass,
                     PKCS11_KEY_OBJ* keys, std::uint32_t* count) noexcept;
P11_RV p11_enum_certs(const PKCS11_MODULE* module, PKCS11_SESSION* session, PKCS11_CERT_OBJ* certs,
                      std::uint32_t* count) noexcept;

// Find the first object with the id. `*out` is null when nothing matches; otherwise it is a new
// record owned by the caller (p11_free_key_obj / p11_free_cert_obj) even when an error follows.
// An id longer than P11_ID_MAX bytes is refused with CKR_ARGUMENTS_BAD.
P11_RV p11_find_key(const PKCS11_MODULE* module, PKCS11_SESSION* session, std::uint32_t keyClass,
                    const unsigned char* id, std::uint32_t idLen, PKCS11_KEY_OBJ** out) noexcept;
P11_RV p11_find_cert(const PKCS11_MODULE* module, PKCS11_SESSION* session, const unsigned char* id,
                     std::uint32_t idLen, PKCS11_CERT_OBJ** out) noexcept;
void p11_free_key_obj(PKCS11_KEY_OBJ* key) noexcept;
void p11_free_cert_obj(PKCS11_CERT_OBJ* cert) noexcept;

// New X509 from the record's value, or null when it is not a certificate.
X509* p11_cert_to_x509(const PKCS11_CERT_OBJ* cert) noexcept;

// New EVP_PKEY holding an RSA key whose private-key operations the card performs through the
// session; null when the module gives no modulus and public exponent for the key. The key keeps
// the session and the module's function table: it is usable while both stay open.
EVP_PKEY* p11_key_to_evp(const PKCS11_MODULE* module, const PKCS11_SESSION* session,
                         std::uint32_t key) noexcept;

// New BIGNUM of an attribute's big-endian bytes (at most 1,024 of them), or null.
BIGNUM* p11_get_attr_bn(const PKCS11_MODULE* module, const PKCS11_SESSION* session,
                        std::uint32_t object, CK_ATTRIBUTE_TYPE type) noexcept;

// The process-wide RSA method of card keys: the default method with the private-key
// operations, sign and verify replaced. Made on first use.
const RSA_METHOD* p11_rsa_method() noexcept;
