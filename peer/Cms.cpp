#include "peer/Cms.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

// pem.h first: cms.h declares its PEM functions with pem.h's macros.
#include <openssl/pem.h>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include "openssl_owned.h"
#include "peer/OutputFile.h"
#include "peer/PeerError.h"
#include "peer/Translate.h"
#include "protocol/Base64.h"

namespace peer {

namespace {

using CmsPtr = ossl::Owned<CMS_ContentInfo, CMS_ContentInfo_free>;

// sk_X509_free is a macro: the stack (not its certificates) is freed here.
struct X509StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

[[noreturn]] void Fail(const std::string& what) {
    throw PeerFailure(PeerError::Failed, what);
}

std::vector<std::uint8_t> DerOf(const unsigned char* data, int length) {
    return length > 0 ? std::vector<std::uint8_t>(data, data + length)
                      : std::vector<std::uint8_t>();
}

// DER length octets.
void PutLength(std::vector<std::uint8_t>& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t n = length; n != 0; n >>= 8) {
        bytes.insert(bytes.begin(), static_cast<std::uint8_t>(n & 0xFF));
    }
    out.push_back(static_cast<std::uint8_t>(0x80 | bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::string ReadFileBytes(const std::string& name) {
    std::ifstream in(std::filesystem::u8path(name), std::ios::binary);
    if (!in) {
        throw PeerFailure(PeerError::File, Tr("cannot read %s", name) + ": " + SystemReason());
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>{});
}

ossl::X509Ptr ReadCertificate(const std::string& bytes) {
    ossl::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    ossl::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
        cert.reset(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    }
    ERR_clear_error();
    return cert;
}

CmsPtr ReadCms(const std::string& bytes) {
    ossl::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    CmsPtr cms(PEM_read_bio_CMS(bio.get(), nullptr, nullptr, nullptr));
    if (!cms) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
        cms.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bytes.size())));
    }
    ERR_clear_error();
    return cms;
}

std::string OpenSslReason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return Tr("the signature does not match");
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

} // namespace

struct CmsSignature::State {
    CmsPtr cms;
    CMS_SignerInfo* signer = nullptr; // owned by cms
};

CmsSignature::CmsSignature(const std::vector<std::uint8_t>& certificate, const EVP_MD* md,
                           const std::vector<std::uint8_t>& dataDigest)
    : state_(std::make_unique<State>()) {
    const unsigned char* p = certificate.data();
    const ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
    if (!cert) {
        Fail(Tr("the signing certificate cannot be read"));
    }
    // The card holds the private key: the signer is added with the certificate's public key,
    // and nothing is signed here (CMS_PARTIAL). CMS_CADES adds the signing certificate v2.
    const unsigned flags = CMS_PARTIAL | CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP | CMS_CADES;
    state_->cms.reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    EVP_PKEY* publicKey = X509_get0_pubkey(cert.get());
    if (!state_->cms || publicKey == nullptr) {
        Fail(Tr("cannot make the CMS structure"));
    }
    state_->signer = CMS_add1_signer(state_->cms.get(), cert.get(), publicKey, md, flags);
    ossl::Owned<ASN1_TIME, ASN1_TIME_free> now(X509_gmtime_adj(nullptr, 0));
    if (state_->signer == nullptr || !now ||
        CMS_signed_add1_attr_by_NID(state_->signer, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                    OBJ_nid2obj(NID_pkcs7_data), -1) != 1 ||
        CMS_signed_add1_attr_by_NID(state_->signer, NID_pkcs9_signingTime, now->type, now.get(),
                                    -1) != 1 ||
        CMS_signed_add1_attr_by_NID(state_->signer, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                    dataDigest.data(), static_cast<int>(dataDigest.size())) != 1) {
        Fail(Tr("cannot make the CMS signer: %s", OpenSslReason()));
    }
}

CmsSignature::~CmsSignature() = default;

std::vector<std::uint8_t> CmsSignature::SignedAttributes() const {
    // DER of a SET OF: the members' encodings in ascending order, as the structure itself is
    // written (so that what the card signs is what a verifier reads).
    std::vector<std::vector<std::uint8_t>> members;
    for (int i = 0; i < CMS_signed_get_attr_count(state_->signer); ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509_ATTRIBUTE(CMS_signed_get_attr(state_->signer, i), &der);
        const ossl::OpenSslBytes owned(der);
        if (length <= 0) {
            Fail(Tr("cannot encode the signed attributes"));
        }
        members.push_back(DerOf(der, length));
    }
    std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) {
        const int order = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
        return order != 0 ? order < 0 : a.size() < b.size();
    });
    std::vector<std::uint8_t> body;
    for (const auto& member : members) {
        body.insert(body.end(), member.begin(), member.end());
    }
    std::vector<std::uint8_t> set = {0x31};
    PutLength(set, body.size());
    set.insert(set.end(), body.begin(), body.end());
    return set;
}

std::vector<std::uint8_t> CmsSignature::Finish(const std::vector<std::uint8_t>& signature) {
    ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(state_->signer);
    if (value == nullptr ||
        ASN1_OCTET_STRING_set(value, signature.data(), static_cast<int>(signature.size())) != 1) {
        Fail(Tr("cannot place the signature in the CMS structure"));
    }
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(state_->cms.get(), &der);
    const ossl::OpenSslBytes owned(der);
    if (length <= 0) {
        Fail(Tr("cannot encode the CMS structure: %s", OpenSslReason()));
    }
    return DerOf(der, length);
}

std::string CmsPem(const std::vector<std::uint8_t>& der) {
    const unsigned char* p = der.data();
    const CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    const ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!cms || !bio || PEM_write_bio_CMS(bio.get(), cms.get()) != 1) {
        Fail(Tr("cannot write the CMS structure as PEM"));
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

bool VerifySignature(const std::string& dataFile, const std::string& signatureFile,
                     const std::string& certificateFile, const EVP_MD* md, std::string& detail) {
    const std::string data = ReadFileBytes(dataFile);
    const std::string signature = ReadFileBytes(signatureFile);
    ossl::X509Ptr cert;
    if (!certificateFile.empty()) {
        cert = ReadCertificate(ReadFileBytes(certificateFile));
        if (!cert) {
            throw PeerFailure(PeerError::File, Tr("%s holds no certificate", certificateFile));
        }
    }
    const ossl::BioPtr content(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (const CmsPtr cms = ReadCms(signature)) {
        const X509StackPtr extra(sk_X509_new_null());
        if (cert) {
            sk_X509_push(extra.get(), cert.get());
        }
        // The signature is checked, not the signer's chain: no trust store is assumed.
        const bool ok = CMS_verify(cms.get(), extra.get(), nullptr, content.get(), nullptr,
                                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
        if (!ok) {
            detail = OpenSslReason();
        }
        return ok;
    }
    if (!cert) {
        throw PeerFailure(
            PeerError::Usage,
            Tr("%s is no CMS structure; a bare signature needs --certificate", signatureFile));
    }
    // A bare signature: its bytes, or Base64 text (a <SignatureValue> element too).
    std::string bytes = signature;
    const std::size_t open = signature.find("<SignatureValue>");
    std::string text = signature;
    if (open != std::string::npos) {
        const std::size_t from = open + std::strlen("<SignatureValue>");
        text = signature.substr(from, signature.find("</SignatureValue>") - from);
    }
    const int keyBytes = EVP_PKEY_get_size(X509_get0_pubkey(cert.get()));
    if (static_cast<int>(signature.size()) != keyBytes || open != std::string::npos) {
        const std::vector<std::uint8_t> decoded = tessivo::DecodeBase64Lenient(text);
        if (static_cast<int>(decoded.size()) == keyBytes) {
            bytes.assign(decoded.begin(), decoded.end());
        }
    }
    const ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    const bool ok =
        ctx &&
        EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, X509_get0_pubkey(cert.get())) == 1 &&
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size(), reinterpret_cast<const unsigned char*>(data.data()),
                         data.size()) == 1;
    if (!ok) {
        detail = OpenSslReason();
    }
    return ok;
}

} // namespace peer
