#include "tests/p11/card_env.h"

#include <stdexcept>

#include <openssl/objects.h>
#include <openssl/x509.h>

namespace cardenv {

void MakeBigCert(const std::string& keyPem, const std::string& derOut) {
    fixtures::PkeyPtr key = fixtures::ReadPrivateKey(keyPem);
    if (!key) {
        throw std::runtime_error("MakeBigCert: no key");
    }
    fixtures::X509Ptr cert = fixtures::UnsignedCert(key.get(), "Tessivo Big", 30);
    // The bulk sits in a private extension: past 4,096 bytes in all, and under the 5,000 bytes
    // that OpenSC's pkcs11-tool reads from a file.
    fixtures::Owned<ASN1_OBJECT, ASN1_OBJECT_free> oid(OBJ_txt2obj("1.3.6.1.4.1.55555.1", 1));
    fixtures::Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> bulk(ASN1_OCTET_STRING_new());
    const std::string filler(3800, 'B');
    ASN1_OCTET_STRING_set(bulk.get(), reinterpret_cast<const unsigned char*>(filler.data()),
                          static_cast<int>(filler.size()));
    fixtures::Owned<X509_EXTENSION, X509_EXTENSION_free> ext(
        X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, bulk.get()));
    X509_add_ext(cert.get(), ext.get(), -1);
    fixtures::SignCert(cert.get(), key.get());
    const fixtures::Bytes der = fixtures::DerOf(cert.get());
    fixtures::WriteFileBytes(derOut, std::string(der.begin(), der.end()));
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
    config_ = std::make_unique<TestModuleConfig>(
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
