// The card the library's tests work with: a token labelled "Tessivo Card", user PIN "123456",
// holding key pairs with certificates under the ids "SIGN" and "KEYX" and one more certificate,
// "BIG1", whose DER encoding is larger than 4,096 bytes. On Linux the token lives in SoftHSM2;
// on Windows in the test module's software token.
#pragma once

#include <memory>
#include <string>

#include "tests/fixtures/softhsm_token.h"
#include "tests/fixtures/test_module.h"

namespace cardenv {

inline constexpr const char* kLabel = "Tessivo Card";
inline constexpr const char* kPin = "123456";
inline constexpr const char* kSoPin = "87654321";

// A self-signed certificate over 4,096 bytes long.
void MakeBigCert(const std::string& keyPem, const std::string& derOut);

class Card {
public:
    Card();
    std::string ModulePath() const;
    const fixtures::KeyFiles& Sign() const { return sign_; }
    const fixtures::KeyFiles& Keyx() const { return keyx_; }
    const std::string& BigCertDer() const { return bigDer_; }
#ifndef _WIN32
    fixtures::SoftHsm& Hsm() {
        return hsm_;
    }
#endif

private:
#ifndef _WIN32
    fixtures::SoftHsm hsm_;
#else
    std::unique_ptr<TestModuleConfig> config_;
#endif
    fixtures::TempDir files_;
    fixtures::KeyFiles sign_;
    fixtures::KeyFiles keyx_;
    std::string bigDer_;
};

// One card per test program: making keys takes time.
Card& SharedCard();

} // namespace cardenv
