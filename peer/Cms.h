// Detached CMS SignedData (RFC 5652) around a signature the card makes, and the offline check of
// CMS and bare PKCS#1 v1.5 signatures. The card never sees the data: it signs the DER of the
// signed attributes (content type, message digest, signing time, signing certificate v2 of
// RFC 5035), which carry the data's digest.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace peer {

class CmsSignature {
public:
    // The signer's certificate (DER), the digest algorithm and the data's digest made with it.
    // PeerFailure when the certificate cannot be read or the structure cannot be made.
    CmsSignature(const std::vector<std::uint8_t>& certificate, const EVP_MD* md,
                 const std::vector<std::uint8_t>& dataDigest);
    ~CmsSignature();
    CmsSignature(const CmsSignature&) = delete;
    CmsSignature& operator=(const CmsSignature&) = delete;

    // The DER of the signed attributes as a SET: what the signature covers.
    std::vector<std::uint8_t> SignedAttributes() const;
    // The ContentInfo's DER with the card's signature of the signed attributes in place.
    std::vector<std::uint8_t> Finish(const std::vector<std::uint8_t>& signature);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// PEM text ("-----BEGIN CMS-----") of a ContentInfo's DER.
std::string CmsPem(const std::vector<std::uint8_t>& der);

// Checks `signature` over the data in `dataFile`: a CMS SignedData (DER or PEM, detached, the
// signer's certificate inside it or `certificate`), or a bare PKCS#1 v1.5 signature (raw bytes,
// Base64, or a <SignatureValue> element) by `certificate`'s key with `md`. The signer's
// certificate is not checked against a trust store. True when it verifies; `detail` says why
// not. PeerFailure (File, Usage) when the inputs cannot be read.
bool VerifySignature(const std::string& dataFile, const std::string& signature,
                     const std::string& certificate, const EVP_MD* md, std::string& detail);

} // namespace peer
