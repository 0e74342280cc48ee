/**
 * @file vantrel.h
 * @brief Vantrel: the token and certificate library's exported API.
 *
 * Every function returns a 32-bit result code: 0 is success; the top byte names the family
 * (0xDA BASIC, 0xDB CRYPTO, 0xDC CERT, 0xDD OCSP, 0xDE ADVANCE, 0xDF CRL), and a PKCS#11 return
 * value travels as the family OR the value. Copy-out results use a 32-bit length word: the
 * buffer's capacity on entry, the result's length on return.
 *
 * The header serves C (C11) and C++. The functions are plain C functions, except the two
 * key-usage searches GetCertByKU() and GetKeyByKU(), which keep their C++-decorated names and are
 * therefore declared for C++ only.
 */
#ifndef VANTREL_H
#define VANTREL_H

#include <stdint.h>
#ifdef __cplusplus
#include <cstdint>
#endif

#if defined(_WIN32)
#define VANTREL_API __declspec(dllexport)
#else
#define VANTREL_API __attribute__((visibility("default")))
#endif
/* Marks the two functions exported under C++-decorated names (the library's own definitions). */
#define VANTREL_CPP_API VANTREL_API
/* C++ users get the result codes as constants, C users as constant objects of the same type
   (compare with them; C does not take them as case labels). */
#ifdef __cplusplus
#define VANTREL_CODE(name, value) inline constexpr VR_RESULT name = value;
#else
#define VANTREL_CODE(name, value) static const VR_RESULT name = value;
#endif

/** A result code: 0 (OK) is success, anything else names a failure. */
typedef uint32_t VR_RESULT;

/** @name Result codes
 * @{ */
VANTREL_CODE(OK, 0x00000000u)
VANTREL_CODE(BASIC_ERRORS, 0xDA000000u)
VANTREL_CODE(BASIC_ARGUMENTS_BAD, 0xDA000007u)
VANTREL_CODE(BASIC_PIN_INCORRECT, 0xDA0000A0u)
VANTREL_CODE(BASIC_USER_ALREADY_LOGGED_IN, 0xDA000100u)
VANTREL_CODE(BASIC_USER_NOT_LOGGED_IN, 0xDA000101u)
VANTREL_CODE(BASIC_BUFFER_TOO_SMALL, 0xDA000150u)
VANTREL_CODE(BASIC_MODULE_NOT_LOADED, 0xDA000190u)
VANTREL_CODE(BASIC_LOAD_MODULE_FAIL, 0xDA001000u)
VANTREL_CODE(BASIC_MALLOC_ERROR, 0xDA001001u)
VANTREL_CODE(BASIC_OBJECT_NOT_FOUND, 0xDA001002u)
VANTREL_CODE(BASIC_INDEX_ERROR, 0xDA001003u)
VANTREL_CODE(BASIC_CONVERT_ERROR, 0xDA001004u)
VANTREL_CODE(BASIC_SLOTID_ERROR, 0xDA001005u)
VANTREL_CODE(BASIC_LIBINFO_ERROR, 0xDA001006u)
VANTREL_CODE(BASIC_SLOTINFO_ERROR, 0xDA001007u)
VANTREL_CODE(CRYPTO_ERRORS, 0xDB000000u)
VANTREL_CODE(CRYPTO_CANT_DECRYPT, 0xDB001001u)
VANTREL_CODE(CRYPTO_IV_LENGTH_ERROR, 0xDB001002u)
VANTREL_CODE(CRYPTO_LOAD_DLL_FAIL, 0xDB001003u)
VANTREL_CODE(CRYPTO_CANT_FIND_READER, 0xDB001004u)
VANTREL_CODE(CRYPTO_CANT_ENCRYPT, 0xDB001005u)
VANTREL_CODE(CRYPTO_DIGEST_ERROR, 0xDB001006u)
VANTREL_CODE(CRYPTO_SIGN_ERROR, 0xDB001007u)
VANTREL_CODE(CRYPTO_VERIFY_ERROR, 0xDB001008u)
VANTREL_CODE(CRYPTO_ENCRYPT_ERROR, 0xDB001009u)
VANTREL_CODE(CRYPTO_DECRYPT_ERROR, 0xDB00100Au)
VANTREL_CODE(CRYPTO_FILE_NOT_FOUND, 0xDB00100Bu)
VANTREL_CODE(CRYPTO_PKCS7_TYPE_ERROR, 0xDB010001u)
VANTREL_CODE(CRYPTO_PKCS7_GET_SIGNER, 0xDB010002u)
VANTREL_CODE(CRYPTO_PKCS7_SIGN_ERROR, 0xDB010003u)
VANTREL_CODE(CRYPTO_PKCS7_VERIFY_FAIL, 0xDB010004u)
VANTREL_CODE(CRYPTO_PKCS7_ENCRYPT_ERROR, 0xDB010005u)
VANTREL_CODE(CRYPTO_PKCS7_DECRYPT_FAIL, 0xDB010006u)
VANTREL_CODE(CRYPTO_PKCS8_UNEXTRACTABLE, 0xDB010007u)
VANTREL_CODE(CRYPTO_PKCS10_DN_ERROR, 0xDB010008u)
VANTREL_CODE(CRYPTO_PKCS10_SIGN_ERROR, 0xDB010009u)
VANTREL_CODE(CRYPTO_PKCS10_B64_ERROR, 0xDB01000Au)
VANTREL_CODE(CRYPTO_PKCS12_PARSE_ERROR, 0xDB01000Bu)
VANTREL_CODE(CRYPTO_PKCS7_B64_ERROR, 0xDB01000Cu)
VANTREL_CODE(CERT_ERRORS, 0xDC000000u)
VANTREL_CODE(CERT_SIGNATURE_INVALID, 0xDC0000C0u)
VANTREL_CODE(CERT_PARSE_ERROR, 0xDC001001u)
VANTREL_CODE(CERT_NO_SUCH_EXTENSION, 0xDC001002u)
VANTREL_CODE(CERT_INDEX_ERROR, 0xDC001003u)
VANTREL_CODE(CERT_DATA_TYPE_INVALID, 0xDC001004u)
VANTREL_CODE(CERT_TO_TEXT_ERROR, 0xDC001005u)
VANTREL_CODE(CERT_TO_OBJ_ERROR, 0xDC001006u)
VANTREL_CODE(CERT_STACK_ERROR, 0xDC001007u)
VANTREL_CODE(CERT_REVOKED, 0xDC001008u)
VANTREL_CODE(OCSP_ERRORS, 0xDD000000u)
VANTREL_CODE(OCSP_CANT_CONNECT_TO_DESTINATION, 0xDD000001u)
VANTREL_CODE(OCSP_NO_OCSP_URL, 0xDD000002u)
VANTREL_CODE(OCSP_PARSE_URL_FAIL, 0xDD000003u)
VANTREL_CODE(OCSP_NOUNCE_COMPARE_FAIL, 0xDD000004u)
VANTREL_CODE(OCSP_BASIC_VERIFY_FAIL, 0xDD000005u)
VANTREL_CODE(OCSP_CANT_FIND_BASIC_RESPONSE, 0xDD000006u)
VANTREL_CODE(OCSP_RESPONSE_FAIL, 0xDD000007u)
VANTREL_CODE(OCSP_CERTSTATUS_UNKNOWN, 0xDD000008u)
VANTREL_CODE(ADVANCE_ERRORS, 0xDE000000u)
VANTREL_CODE(ADVANCE_DELETECERT_ERROR, 0xDE001001u)
VANTREL_CODE(ADVANCE_STORECERT_ERROR, 0xDE001002u)
VANTREL_CODE(CRL_ERRORS, 0xDF000000u)
VANTREL_CODE(CRL_PARSE_ERROR, 0xDF001001u)
VANTREL_CODE(CRL_NO_SUCH_EXTENSION, 0xDF001002u)
VANTREL_CODE(CRL_INDEX_ERROR, 0xDF001003u)
VANTREL_CODE(CRL_VERIFY_FAIL, 0xDF001005u)

// Values the CRYPTO family carries without a name of their own.
VANTREL_CODE(CRYPTO_DIGEST_NOT_SUPPORTED, 0xDB000054u)
VANTREL_CODE(CRYPTO_MECHANISM_INVALID, 0xDB000070u)
VANTREL_CODE(CRYPTO_RAW_SIGNATURE_INVALID, 0xDB0000C0u)
/** @} */

typedef struct PKCS11_MODULE PKCS11_MODULE;
typedef struct PKCS11_SESSION PKCS11_SESSION;

/// The caller's handle record: everything the library keeps hangs from it.
typedef struct PKCS11 {
    PKCS11_MODULE* module;   ///< null while no module is loaded
    PKCS11_SESSION* session; ///< null while no session is open
    void* reserved;          ///< zeroed by InitLibrary, otherwise untouched
} PKCS11;

/// Opaque handles handed out by the library; the receiver frees them (FreeCert, FreeKey).
typedef void* VR_CERT; ///< an OpenSSL X509*
typedef void* VR_KEY;  ///< an OpenSSL EVP_PKEY*

#ifdef __cplusplus
extern "C" {
#endif

/** @name Library frame
 * InitLibrary loads and initialises a PKCS#11 module into the caller's record (all zero when it
 * fails); CloseLibrary finalises and unloads it and clears the record. Texts taken from the
 * module's blank-padded fields come back zero-terminated without the padding: the length word
 * reports the text's length without the terminator, and the buffer must hold one byte more.
 * @{ */

VANTREL_API VR_RESULT InitLibrary(const char* moduleFile, PKCS11* p11);
VANTREL_API VR_RESULT CloseLibrary(PKCS11* p11);
VANTREL_API VR_RESULT GetLibraryDesc(PKCS11* p11, char* buf, uint32_t* len);

/** @} */

/** @name Slots, tokens and login
 * Slot ids are the module's, as 32-bit values. LoginToken opens the one read-only session of the
 * record and logs the user in (a null PIN opens the session only); LogoutToken ends it.
 * @{ */

typedef uint32_t VR_SLOT_ID;

/// count: capacity of slotList in entries, number of slots written on return. More slots than the
/// capacity: BASIC_BUFFER_TOO_SMALL with count unchanged. A null slotList only counts.
VANTREL_API VR_RESULT GetSlotID(PKCS11* p11, VR_SLOT_ID* slotList, uint32_t* count);
VANTREL_API VR_RESULT GetSlotDesc(PKCS11* p11, VR_SLOT_ID slot, char* buf, uint32_t* len);
/// 1 when a card is present, 0 when not, otherwise an error code.
VANTREL_API VR_RESULT IsTokenPresent(PKCS11* p11, VR_SLOT_ID slot);
VANTREL_API VR_RESULT GetTokenLabel(PKCS11* p11, VR_SLOT_ID slot, char* buf, uint32_t* len);
VANTREL_API VR_RESULT GetTokenSerialNumber(PKCS11* p11, VR_SLOT_ID slot, char* buf, uint32_t* len);
/// deviceError receives the session's ulDeviceError after a login attempt (may be null).
VANTREL_API VR_RESULT LoginToken(PKCS11* p11, VR_SLOT_ID slot, const char* pin,
                                 uint32_t* deviceError);
VANTREL_API VR_RESULT LogoutToken(PKCS11* p11);

/** @} */

/** @name Keys and certificates on the token
 * Objects are told apart by their CKA_ID; "SIGN" and "KEYX" name the signature and encipherment
 * objects. Every function needs a logged-in session (LoginToken).
 * @{ */

VANTREL_API VR_RESULT GetKeyNum(PKCS11* p11, uint32_t* count);
/// Copies the id of the private key at index; a missing or short buffer gives the bare 0x150.
VANTREL_API VR_RESULT GetKeyID(PKCS11* p11, uint32_t index, unsigned char* buf, uint32_t* len);
VANTREL_API VR_RESULT GetKey(PKCS11* p11, const unsigned char* id, uint32_t idLen, VR_KEY* key);
VANTREL_API VR_RESULT FreeKey(VR_KEY key);
VANTREL_API VR_RESULT GetCertNum(PKCS11* p11, uint32_t* count);
VANTREL_API VR_RESULT GetCertID(PKCS11* p11, uint32_t index, unsigned char* buf, uint32_t* len);
VANTREL_API VR_RESULT GetCert(PKCS11* p11, const unsigned char* id, uint32_t idLen, VR_CERT* cert);
VANTREL_API VR_RESULT GetSignatureCert(PKCS11* p11, VR_CERT* cert);
VANTREL_API VR_RESULT GetEnciphermentCert(PKCS11* p11, VR_CERT* cert);
VANTREL_API VR_RESULT GetSignatureKey(PKCS11* p11, VR_KEY* key);
VANTREL_API VR_RESULT GetEnciphermentKey(PKCS11* p11, VR_KEY* key);

#ifdef __cplusplus
}
/// Search by the first byte of the certificates' KeyUsage (exact match). These two keep their
/// C++-decorated export names, so C programs cannot call them.
VANTREL_CPP_API VR_RESULT GetCertByKU(PKCS11* p11, void** cert, unsigned char keyUsage);
VANTREL_CPP_API VR_RESULT GetKeyByKU(PKCS11* p11, void** key, unsigned char keyUsage);
extern "C" {
#endif

/** @} */

/** @name Basic cryptographic operations
 * RSA with PKCS#1 v1.5 on any RSA key, a card key included. mech is a PKCS#11 mechanism:
 * 1 (data signed as it is), 5 MD5, 6 SHA-1, 64 SHA-256, 65 SHA-384, 66 SHA-512, 70 SHA-224.
 * @{ */

/// A null or short sig buffer is answered with 0 and the key size in *sigLen (nothing signed).
VANTREL_API VR_RESULT BasicSign(uint32_t mech, const unsigned char* data, int32_t dataLen,
                                VR_KEY key, unsigned char* sig, int32_t* sigLen);
VANTREL_API VR_RESULT BasicVerify(uint32_t mech, const unsigned char* data, int32_t dataLen,
                                  VR_KEY key, const unsigned char* sig, int32_t sigLen);
/// mech is not used. A null out gives 0 and the key size; a short one BASIC_BUFFER_TOO_SMALL.
VANTREL_API VR_RESULT BasicAsymEncrypt(uint32_t mech, const unsigned char* in, int32_t inLen,
                                       VR_KEY key, unsigned char* out, int32_t* outLen);
VANTREL_API VR_RESULT BasicAsymDecrypt(uint32_t mech, const unsigned char* in, int32_t inLen,
                                       VR_KEY key, unsigned char* out, int32_t* outLen);

/** @} */

/** @name Certificate fields
 * Certificates are parsed OpenSSL X509 objects; whoever receives one releases it with FreeCert.
 * Results follow the copy-out convention unless a comment says otherwise.
 * @{ */

struct tm;

/// Parses the first DER certificate of der (the rest is ignored); CERT_PARSE_ERROR when none.
VANTREL_API VR_RESULT DER2Cert(const unsigned char* der, int32_t derLen, VR_CERT* cert);
VANTREL_API VR_RESULT Cert2DER(VR_CERT cert, unsigned char* buf, int32_t* len);
VANTREL_API VR_RESULT FreeCert(VR_CERT cert);
/// Independent copies of a PKCS#7 bundle's certificates in bundle order; count is the capacity of
/// certs in entries on entry and the number of certificates on return. A null certs only checks
/// the bundle's type.
VANTREL_API VR_RESULT P7B2Cert(const unsigned char* der, int32_t derLen, VR_CERT* certs,
                               int32_t* count);
/// 0 when issuer's key verifies cert's signature, CERT_SIGNATURE_INVALID when it does not,
/// 0xFFFFFFFF when the check cannot be made.
VANTREL_API VR_RESULT VerifyCert(VR_CERT cert, VR_CERT issuer);
/// Always 0; key is null when the certificate's key cannot be decoded. Release it with FreeKey.
VANTREL_API VR_RESULT GetCertPublicKey(VR_CERT cert, VR_KEY* key);
/// Dotted identifier text, zero-terminated; the length word excludes the zero and a null buf
/// only asks for that length (result 0).
VANTREL_API VR_RESULT GetCertSignatureAlgorithm(VR_CERT cert, char* buf, int32_t* len);
/// Content octets of the serial as a positive DER INTEGER (a zero byte before a top bit).
VANTREL_API VR_RESULT GetCertSerialNumber(VR_CERT cert, unsigned char* buf, int32_t* len);
/// The name as UTF-8 text "CN=..,O=..,C=.." (reverse non-zero: the last RDN first, as RFC 2253
/// writes names), zero-terminated; the length word counts the zero.
VANTREL_API VR_RESULT GetSubjectDN(VR_CERT cert, int32_t reverse, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetIssuerDN(VR_CERT cert, int32_t reverse, char* buf, int32_t* len);
/// Always 0. The time as written in the certificate (UTC); weekday and day of the year are filled
/// for dates from 1970 to January 2038 only.
VANTREL_API VR_RESULT GetNotBefore(VR_CERT cert, struct tm* time);
VANTREL_API VR_RESULT GetNotAfter(VR_CERT cert, struct tm* time);

/** @} */

/** @name Certificate extensions
 * Identifiers are dotted decimal texts ("2.5.29.15"). An extension that is missing, cannot be
 * decoded or is present twice gives CERT_NO_SUCH_EXTENSION.
 * @{ */

/// The extnValue content (the extension's own DER); critical receives 1 or 0 (may be null).
VANTREL_API VR_RESULT GetExtensionDER(VR_CERT cert, const char* oid, int32_t* critical,
                                      unsigned char* buf, int32_t* len);
/// The content of the first general name followed by the encodings of any further names.
VANTREL_API VR_RESULT GetSubjectAltName(VR_CERT cert, char* buf, int32_t* len);
/// The first full name (normally a URL) of the distribution point at index.
VANTREL_API VR_RESULT GetCRLDistributionPoint(VR_CERT cert, int32_t index, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetCertAuthorityKeyIdentifier(VR_CERT cert, unsigned char* buf, int32_t* len);
VANTREL_API VR_RESULT GetSubjectKeyIdentifier(VR_CERT cert, unsigned char* buf, int32_t* len);
/// The key usage bit string's bytes (0x80 digitalSignature ... ). With a null buf, len may be
/// null too: the result then only tells whether the extension is there.
VANTREL_API VR_RESULT GetKeyUsage(VR_CERT cert, unsigned char* buf, int32_t* len);
/// 1 or 0: digitalSignature set; keyEncipherment or dataEncipherment set.
VANTREL_API VR_RESULT IsKeyUsageSignature(VR_CERT cert);
VANTREL_API VR_RESULT IsKeyUsageEncipherment(VR_CERT cert);
/// The location of the first access description with the given method.
VANTREL_API VR_RESULT GetAuthorityInfoAccess(VR_CERT cert, const char* method, char* buf,
                                             int32_t* len);
VANTREL_API VR_RESULT GetCAIssuers(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetOCSP(VR_CERT cert, char* buf, int32_t* len);
/// The first policy identifier, zero-terminated; the length word excludes the zero.
VANTREL_API VR_RESULT GetCertPolicyOID(VR_CERT cert, char* buf, int32_t* len);
/// The first value of a subject directory attribute: an INTEGER as a 32-bit little-endian number
/// (length 4), an OCTET, UTF8 or Printable string as its bytes, an identifier as dotted text;
/// other types give CERT_DATA_TYPE_INVALID. For the byte forms a null buf only tests presence
/// (result 0, len untouched).
VANTREL_API VR_RESULT GetSubjectDirectoryAttribute(VR_CERT cert, const char* oid, char* buf,
                                                   int32_t* len);
/// The Taiwan government PKI attributes (2.16.886.1.100.2.x).
VANTREL_API VR_RESULT GetSubjectTypeOID(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetSubjectHolderRank(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetTailOfCitizenID(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetUniformOrganizationID(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetEntityOID(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetGroupID(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetCertTypeID(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetUID(VR_CERT cert, char* buf, int32_t* len);
VANTREL_API VR_RESULT GetCardID(VR_CERT cert, char* buf, int32_t* len);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_H */
