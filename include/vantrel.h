// Vantrel: the token and certificate library's exported API.
//
// Every function returns a 32-bit result code: 0 is success; the top byte names the family
// (0xDA BASIC, 0xDB CRYPTO, 0xDC CERT, 0xDD OCSP, 0xDE ADVANCE, 0xDF CRL), and a PKCS#11 return
// value travels as the family OR the value. Copy-out results use a 32-bit length word: the
// buffer's capacity on entry, the result's length on return.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define VANTREL_API extern "C" __declspec(dllexport)
#define VANTREL_CPP_API __declspec(dllexport)
#else
#define VANTREL_API extern "C" __attribute__((visibility("default")))
#define VANTREL_CPP_API __attribute__((visibility("default")))
#endif

typedef std::uint32_t VR_RESULT;

// Result codes.
inline constexpr VR_RESULT OK = 0x00000000u;
inline constexpr VR_RESULT BASIC_ERRORS = 0xDA000000u;
inline constexpr VR_RESULT BASIC_ARGUMENTS_BAD = 0xDA000007u;
inline constexpr VR_RESULT BASIC_PIN_INCORRECT = 0xDA0000A0u;
inline constexpr VR_RESULT BASIC_USER_ALREADY_LOGGED_IN = 0xDA000100u;
inline constexpr VR_RESULT BASIC_USER_NOT_LOGGED_IN = 0xDA000101u;
inline constexpr VR_RESULT BASIC_BUFFER_TOO_SMALL = 0xDA000150u;
inline constexpr VR_RESULT BASIC_MODULE_NOT_LOADED = 0xDA000190u;
inline constexpr VR_RESULT BASIC_LOAD_MODULE_FAIL = 0xDA001000u;
inline constexpr VR_RESULT BASIC_MALLOC_ERROR = 0xDA001001u;
inline constexpr VR_RESULT BASIC_OBJECT_NOT_FOUND = 0xDA001002u;
inline constexpr VR_RESULT BASIC_INDEX_ERROR = 0xDA001003u;
inline constexpr VR_RESULT BASIC_CONVERT_ERROR = 0xDA001004u;
inline constexpr VR_RESULT BASIC_SLOTID_ERROR = 0xDA001005u;
inline constexpr VR_RESULT BASIC_LIBINFO_ERROR = 0xDA001006u;
inline constexpr VR_RESULT BASIC_SLOTINFO_ERROR = 0xDA001007u;
inline constexpr VR_RESULT CRYPTO_ERRORS = 0xDB000000u;
inline constexpr VR_RESULT CRYPTO_CANT_DECRYPT = 0xDB001001u;
inline constexpr VR_RESULT CRYPTO_IV_LENGTH_ERROR = 0xDB001002u;
inline constexpr VR_RESULT CRYPTO_LOAD_DLL_FAIL = 0xDB001003u;
inline constexpr VR_RESULT CRYPTO_CANT_FIND_READER = 0xDB001004u;
inline constexpr VR_RESULT CRYPTO_CANT_ENCRYPT = 0xDB001005u;
inline constexpr VR_RESULT CRYPTO_DIGEST_ERROR = 0xDB001006u;
inline constexpr VR_RESULT CRYPTO_SIGN_ERROR = 0xDB001007u;
inline constexpr VR_RESULT CRYPTO_VERIFY_ERROR = 0xDB001008u;
inline constexpr VR_RESULT CRYPTO_ENCRYPT_ERROR = 0xDB001009u;
inline constexpr VR_RESULT CRYPTO_DECRYPT_ERROR = 0xDB00100Au;
inline constexpr VR_RESULT CRYPTO_FILE_NOT_FOUND = 0xDB00100Bu;
inline constexpr VR_RESULT CRYPTO_PKCS7_TYPE_ERROR = 0xDB010001u;
inline constexpr VR_RESULT CRYPTO_PKCS7_GET_SIGNER = 0xDB010002u;
inline constexpr VR_RESULT CRYPTO_PKCS7_SIGN_ERROR = 0xDB010003u;
inline constexpr VR_RESULT CRYPTO_PKCS7_VERIFY_FAIL = 0xDB010004u;
inline constexpr VR_RESULT CRYPTO_PKCS7_ENCRYPT_ERROR = 0xDB010005u;
inline constexpr VR_RESULT CRYPTO_PKCS7_DECRYPT_FAIL = 0xDB010006u;
inline constexpr VR_RESULT CRYPTO_PKCS8_UNEXTRACTABLE = 0xDB010007u;
inline constexpr VR_RESULT CRYPTO_PKCS10_DN_ERROR = 0xDB010008u;
inline constexpr VR_RESULT CRYPTO_PKCS10_SIGN_ERROR = 0xDB010009u;
inline constexpr VR_RESULT CRYPTO_PKCS10_B64_ERROR = 0xDB01000Au;
inline constexpr VR_RESULT CRYPTO_PKCS12_PARSE_ERROR = 0xDB01000Bu;
inline constexpr VR_RESULT CRYPTO_PKCS7_B64_ERROR = 0xDB01000Cu;
inline constexpr VR_RESULT CERT_ERRORS = 0xDC000000u;
inline constexpr VR_RESULT CERT_SIGNATURE_INVALID = 0xDC0000C0u;
inline constexpr VR_RESULT CERT_PARSE_ERROR = 0xDC001001u;
inline constexpr VR_RESULT CERT_NO_SUCH_EXTENSION = 0xDC001002u;
inline constexpr VR_RESULT CERT_INDEX_ERROR = 0xDC001003u;
inline constexpr VR_RESULT CERT_DATA_TYPE_INVALID = 0xDC001004u;
inline constexpr VR_RESULT CERT_TO_TEXT_ERROR = 0xDC001005u;
inline constexpr VR_RESULT CERT_TO_OBJ_ERROR = 0xDC001006u;
inline constexpr VR_RESULT CERT_STACK_ERROR = 0xDC001007u;
inline constexpr VR_RESULT CERT_REVOKED = 0xDC001008u;
inline constexpr VR_RESULT OCSP_ERRORS = 0xDD000000u;
inline constexpr VR_RESULT OCSP_CANT_CONNECT_TO_DESTINATION = 0xDD000001u;
inline constexpr VR_RESULT OCSP_NO_OCSP_URL = 0xDD000002u;
inline constexpr VR_RESULT OCSP_PARSE_URL_FAIL = 0xDD000003u;
inline constexpr VR_RESULT OCSP_NOUNCE_COMPARE_FAIL = 0xDD000004u;
inline constexpr VR_RESULT OCSP_BASIC_VERIFY_FAIL = 0xDD000005u;
inline constexpr VR_RESULT OCSP_CANT_FIND_BASIC_RESPONSE = 0xDD000006u;
inline constexpr VR_RESULT OCSP_RESPONSE_FAIL = 0xDD000007u;
inline constexpr VR_RESULT OCSP_CERTSTATUS_UNKNOWN = 0xDD000008u;
inline constexpr VR_RESULT ADVANCE_ERRORS = 0xDE000000u;
inline constexpr VR_RESULT ADVANCE_DELETECERT_ERROR = 0xDE001001u;
inline constexpr VR_RESULT ADVANCE_STORECERT_ERROR = 0xDE001002u;
inline constexpr VR_RESULT CRL_ERRORS = 0xDF000000u;
inline constexpr VR_RESULT CRL_PARSE_ERROR = 0xDF001001u;
inline constexpr VR_RESULT CRL_NO_SUCH_EXTENSION = 0xDF001002u;
inline constexpr VR_RESULT CRL_INDEX_ERROR = 0xDF001003u;
inline constexpr VR_RESULT CRL_VERIFY_FAIL = 0xDF001005u;

// Values the CRYPTO family carries without a name of their own.
inline constexpr VR_RESULT CRYPTO_DIGEST_NOT_SUPPORTED = 0xDB000054u;
inline constexpr VR_RESULT CRYPTO_MECHANISM_INVALID = 0xDB000070u;
inline constexpr VR_RESULT CRYPTO_RAW_SIGNATURE_INVALID = 0xDB0000C0u;

struct PKCS11_MODULE;
struct PKCS11_SESSION;

// The caller's handle record: everything the library keeps hangs from it.
struct PKCS11 {
    PKCS11_MODULE* module;   // null while no module is loaded
    PKCS11_SESSION* session; // null while no session is open
    void* reserved;          // zeroed by InitLibrary, otherwise untouched
};

// Opaque handles handed out by the library; the receiver frees them (FreeCert, FreeKey).
typedef void* VR_CERT; // an OpenSSL X509*
typedef void* VR_KEY;  // an OpenSSL EVP_PKEY*

// ---- Library frame ----

// ---- Slots, tokens and login ----

// ---- Keys and certificates on the token ----

// ---- Basic cryptographic operations ----

// ---- Certificate fields ----

// ---- Certificate extensions ----
