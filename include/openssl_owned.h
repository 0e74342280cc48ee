// Owning pointers for OpenSSL objects, one for each free call, shared by the binding, the
// library, the peer and the tests. Not part of the library's exported interface.
#pragma once

#include <memory>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace ossl {

template <typename T, void (*Free)(T*)> struct FreeWith {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)> using Owned = std::unique_ptr<T, FreeWith<T, Free>>;

using BnPtr = Owned<BIGNUM, BN_free>;
using PkeyPtr = Owned<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using X509Ptr = Owned<X509, X509_free>;
using BioPtr = Owned<BIO, BIO_free_all>;
// The certificate library's own structures.
using Pkcs7Ptr = Owned<PKCS7, PKCS7_free>;
using ObjectPtr = Owned<ASN1_OBJECT, ASN1_OBJECT_free>;
using AttributePtr = Owned<X509_ATTRIBUTE, X509_ATTRIBUTE_free>;
using BitStringPtr = Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;
using OctetStringPtr = Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using DistPointsPtr = Owned<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using AuthorityKeyIdPtr = Owned<AUTHORITY_KEYID, AUTHORITY_KEYID_free>;
using InfoAccessPtr = Owned<AUTHORITY_INFO_ACCESS, AUTHORITY_INFO_ACCESS_free>;
using PoliciesPtr = Owned<CERTIFICATEPOLICIES, CERTIFICATEPOLICIES_free>;

// Memory that OpenSSL allocated for us (i2d output); OPENSSL_free is a macro, hence no Owned.
struct OpenSslFree {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using OpenSslBytes = std::unique_ptr<unsigned char, OpenSslFree>;

} // namespace ossl
