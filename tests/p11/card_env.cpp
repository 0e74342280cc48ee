#include "tests/p11/card_env.h"

#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace cardenv {

void MakeBigCert(const std::string& keyPem, const std::string& derOut) {
    BIO* in = BIO_new_file(keyPem.c_str(), "rb");
    EVP_PKEY* key =
        in != nullptr ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(in);
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr) {
        throw std::runtime_error("MakeBigCert: no key");
    }
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 4097);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 30);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Tessivo Big"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    // The bulk sits in a private extension: past 4,096 bytes in all, and under the 5,000 bytes
    // that OpenSC's pkcs11-tool reads from a file.
    ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.55555.1", 1);
    ASN1_OCTET_STRING* bulk = ASN1_OCTET_STRING_new();
    const std::string filler(3800, 'B');
    ASN1_OCTET_STRING_set(bulk, reinterpret_cast<const unsigned char*>(filler.data()),
                          static_cast<int>(filler.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, bulk);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(bulk);
    ASN1_OBJECT_free(oid);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    BIO* out = BIO_new_file(derOut.c_str(), "wb");
    const bool ok = out != nullptr && i2d_X509_bio(out, cert) == 1;
    BIO_free(out);
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) {
        throw std::runtime_error("MakeBigCert: cannot write");
    }
}

Card::Card() {
    sign_ = fixtures::MakeKeyFiles(files_.Path(), "sign", "Tessivo Signer");
    keyx_ = fixtures::MakeKeyFiles(files_.Path(), "keyx", "Tessivo Encipherer");
    bigDer_ = files_.Path() + "/big.cert.der";
    MakeBigCert(sign_.keyPem, bigDer_);
#ifndef _WIN32
    hsm_.InitToken(kLabel, kSoPin, kPin);
    hsm_.ImportKey(kLabel, kPin, sign_.keyPem, "SIGN");
    hsm_.ImportKey(kLabel, kPin, keyx_.keyPem, "KEYX");
    hsm_.ImportCert(kLabel, kPin, sign_.certDer, "SIGN");
    hsm_.ImportCert(kLabel, kPin, keyx_.certDer, "KEYX");
    hsm_.ImportCert(kLabel, kPin, bigDer_, "BIG1");
#else
    config_ = std::make_unique<ModuleConfig>(
        std::string("library_description = Tessivo test module\n") +
        "slot = Tessivo Reader ; 1 ; " + kLabel + " ; 0123456789ABCDEF\n" +
        "slot = Empty Reader ; 0 ; ; \n" + "pin = " + kPin + "\n" + "object = key ; SIGN ; " +
        sign_.keyPem + "\n" + "object = cert ; SIGN ; " + sign_.certDer + "\n" +
        "object = key ; KEYX ; " + keyx_.keyPem + "\n" + "object = cert ; KEYX ; " + keyx_.certDer +
        "\n" + "object = cert ; BIG1 ; " + bigDer_ + "\n");
#endif
}

std::string Card::ModulePath() const {
#ifndef _WIN32
    return fixtures::kSoftHsmModule;
#else
    config_->Apply();
    return TestModulePath();
#endif
}

Card& SharedCard() {
    static Card card;
    return card;
}

} // namespace cardenv
