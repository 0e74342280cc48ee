// Tokens for the key and certificate tests: a token holding exactly the objects a test lists,
// either in SoftHSM2 (Linux) or in the test module's software token (both builds), and a
// logged-in library handle on it.
#pragma once

#include "vantrel.h"

#include "tests/fixtures/key_material.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace keystest {

inline constexpr const char* kLabel = "Keys Card";
inline constexpr const char* kPin = "123456";

// An RSA key (PKCS#8 PEM) with a self-signed certificate (DER and PEM) of it.
using Material = fixtures::KeyFiles;

// keyUsage is the first byte of the KeyUsage bits; a negative value leaves the extension out.
Material MakeMaterial(const std::string& dir, const std::string& name, int keyUsage,
                      int bits = 2048);

struct TokenObject {
    enum class Kind { Cert, Key, RawCert };
    Kind kind;
    std::string id;   // CKA_ID bytes
    std::string file; // certificate DER, key PEM, or any bytes for RawCert
};

inline TokenObject Cert(const std::string& id, const Material& m) {
    return {TokenObject::Kind::Cert, id, m.certDer};
}
inline TokenObject Key(const std::string& id, const Material& m) {
    return {TokenObject::Kind::Key, id, m.keyPem};
}

// A token with its objects, alive as long as the object.
class TestToken {
public:
    virtual ~TestToken() = default;
    virtual std::string ModulePath() const = 0;
#ifndef _WIN32
    // pkcs11-tool on this token with the user logged in; false when it fails or is not available.
    virtual bool Pkcs11Tool(const std::string& arguments) const = 0;
#endif
};

using TokenFactory = std::unique_ptr<TestToken> (*)(const std::vector<TokenObject>&);

std::unique_ptr<TestToken> MakeTestModuleToken(const std::vector<TokenObject>& objects);
#ifndef _WIN32
std::unique_ptr<TestToken> MakeSoftHsmToken(const std::vector<TokenObject>& objects);
#endif

// InitLibrary on the token's module, LoginToken on the slot labelled kLabel; LogoutToken and
// CloseLibrary at the end, unless the test did them.
class LoggedIn {
public:
    explicit LoggedIn(const TestToken& token, bool login = true);
    ~LoggedIn();
    LoggedIn(const LoggedIn&) = delete;
    LoggedIn& operator=(const LoggedIn&) = delete;

    PKCS11* operator->() { return &p11_; }
    PKCS11* get() { return &p11_; }
    // The results of the set-up calls, for the tests' assertions.
    VR_RESULT initResult = 0;
    VR_RESULT loginResult = 0;

private:
    PKCS11 p11_{};
};

} // namespace keystest
