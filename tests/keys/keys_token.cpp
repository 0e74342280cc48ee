#include "tests/keys/keys_token.h"

#include "tests/fixtures/softhsm_token.h"
#include "tests/fixtures/test_module.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <stdexcept>

namespace keystest {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct BitStringFree {
    void operator()(ASN1_BIT_STRING* s) const { ASN1_BIT_STRING_free(s); }
};

void Check(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error("keys test token: " + what);
    }
}

std::unique_ptr<BIO, BioFree> WriteTo(const std::string& path) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "wb"));
    Check(bio != nullptr, "cannot create " + path);
    return bio;
}

void AddKeyUsage(X509* cert, unsigned char keyUsage) {
    std::unique_ptr<ASN1_BIT_STRING, BitStringFree> bits(ASN1_BIT_STRING_new());
    for (int bit = 0; bit < 8; ++bit) {
        if (keyUsage & (0x80 >> bit)) {
            ASN1_BIT_STRING_set_bit(bits.get(), bit, 1);
        }
    }
    Check(X509_add1_ext_i2d(cert, NID_key_usage, bits.get(), 1, 0) == 1, "key usage");
}

std::unique_ptr<X509, X509Free> SelfSigned(EVP_PKEY* key, const std::string& name, int keyUsage) {
    std::unique_ptr<X509, X509Free> cert(X509_new());
    X509_set_version(cert.get(), 2);
    static long serial = 5000;
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), subject);
    X509_set_pubkey(cert.get(), key);
    if (keyUsage >= 0) {
        AddKeyUsage(cert.get(), static_cast<unsigned char>(keyUsage));
    }
    Check(X509_sign(cert.get(), key, EVP_sha256()) > 0, "X509_sign");
    return cert;
}

std::string Hex(const std::string& bytes) {
    return fixtures::HexOf(bytes);
}

class TestModuleToken : public TestToken {
public:
    explicit TestModuleToken(const std::vector<TokenObject>& objects) {
        std::string text = std::string("slot = Keys Reader ; 1 ; ") + kLabel + " ; 0001\n" +
                           "pin = " + kPin + "\n";
        for (const auto& o : objects) {
            const char* kind = o.kind == TokenObject::Kind::Cert  ? "cert"
                               : o.kind == TokenObject::Kind::Key ? "key"
                                                                  : "raw_cert";
            text += std::string("object = ") + kind + " ; hex:" + Hex(o.id) + " ; " +
                    NativePath(o.file) + "\n";
        }
        config_.Write(text);
    }
    std::string ModulePath() const override { return TestModulePath(); }
#ifndef _WIN32
    bool Pkcs11Tool(const std::string&) const override {
        return false;
    }
#endif

private:
    TestModuleConfig config_;
};

#ifndef _WIN32
constexpr const char* kSoPin = "87654321";

class SoftHsmToken : public TestToken {
public:
    explicit SoftHsmToken(const std::vector<TokenObject>& objects) {
        hsm_.InitToken(kLabel, kSoPin, kPin);
        for (const auto& o : objects) {
            Check(o.kind != TokenObject::Kind::RawCert, "SoftHSM2 takes no raw certificates");
            if (o.kind == TokenObject::Kind::Key) {
                hsm_.ImportKey(kLabel, kPin, o.file, o.id);
            } else {
                hsm_.ImportCert(kLabel, kPin, o.file, o.id);
            }
        }
    }
    std::string ModulePath() const override { return fixtures::kSoftHsmModule; }
    bool Pkcs11Tool(const std::string& arguments) const override {
        return hsm_.RunPkcs11Tool(kLabel, std::string("--login --pin ") + kPin + " " + arguments);
    }

private:
    fixtures::SoftHsm hsm_;
};
#endif

// The slot whose token carries kLabel.
bool FindSlot(PKCS11* p11, VR_SLOT_ID& slot) {
    VR_SLOT_ID slots[16];
    std::uint32_t count = 16;
    if (GetSlotID(p11, slots, &count) != OK) {
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        char label[64] = {};
        std::uint32_t len = sizeof label;
        if (IsTokenPresent(p11, slots[i]) == 1 && GetTokenLabel(p11, slots[i], label, &len) == OK &&
            std::strcmp(label, kLabel) == 0) {
            slot = slots[i];
            return true;
        }
    }
    return false;
}

} // namespace

Material MakeMaterial(const std::string& dir, const std::string& name, int keyUsage, int bits) {
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    Check(key != nullptr, "EVP_RSA_gen");
    auto cert = SelfSigned(key.get(), name, keyUsage);
    Material m{dir + "/" + name + ".key.pem", dir + "/" + name + ".cert.der",
               dir + "/" + name + ".cert.pem"};
    Check(PEM_write_bio_PrivateKey(WriteTo(m.keyPem).get(), key.get(), nullptr, nullptr, 0, nullptr,
                                   nullptr) == 1,
          "writing the key");
    Check(i2d_X509_bio(WriteTo(m.certDer).get(), cert.get()) == 1, "writing the certificate");
    Check(PEM_write_bio_X509(WriteTo(m.certPem).get(), cert.get()) == 1, "writing the certificate");
    return m;
}

std::unique_ptr<TestToken> MakeTestModuleToken(const std::vector<TokenObject>& objects) {
    return std::make_unique<TestModuleToken>(objects);
}

#ifndef _WIN32
std::unique_ptr<TestToken> MakeSoftHsmToken(const std::vector<TokenObject>& objects) {
    return std::make_unique<SoftHsmToken>(objects);
}
#endif

LoggedIn::LoggedIn(const TestToken& token, bool login) {
    initResult = InitLibrary(token.ModulePath().c_str(), &p11_);
    if (initResult != OK || !login) {
        return;
    }
    VR_SLOT_ID slot = 0;
    loginResult =
        FindSlot(&p11_, slot) ? LoginToken(&p11_, slot, kPin, nullptr) : BASIC_OBJECT_NOT_FOUND;
}

LoggedIn::~LoggedIn() {
    if (p11_.session) {
        LogoutToken(&p11_);
    }
    CloseLibrary(&p11_);
}

} // namespace keystest
