// The card the library's tests work with: a token labelled "Tessivo Card", user PIN "123456",
// holding key pairs with certificates under the ids "SIGN" and "KEYX" and one more certificate,
// "BIG1", whose DER encoding is larger than 4,096 bytes. On Linux the token lives in SoftHSM2;
// on Windows in the test module's software token.
#pragma once

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "tests/fixtures/softhsm_token.h"
#include "tests/fixtures/test_module.h"

namespace cardenv {

inline constexpr const char* kLabel = "Tessivo Card";
inline constexpr const char* kPin = "123456";
inline constexpr const char* kSoPin = "87654321";

inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

inline void UnsetEnv(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

// A configuration of the test module for as long as the object lives.
class ModuleConfig {
public:
    explicit ModuleConfig(const std::string& text) {
        path_ = dir_.Path() + "/testmodule.conf";
        std::ofstream(path_) << text;
        Apply();
    }
    // Makes this the configuration the module reads at its next C_Initialize.
    void Apply() const { SetEnv("TESSIVO_TESTMODULE_CONFIG", path_); }
    ~ModuleConfig() { UnsetEnv("TESSIVO_TESTMODULE_CONFIG"); }
    ModuleConfig(const ModuleConfig&) = delete;
    ModuleConfig& operator=(const ModuleConfig&) = delete;

private:
    fixtures::TempDir dir_;
    std::string path_;
};

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
    std::unique_ptr<ModuleConfig> config_;
#endif
    fixtures::TempDir files_;
    fixtures::KeyFiles sign_;
    fixtures::KeyFiles keyx_;
    std::string bigDer_;
};

// One card per test program: making keys takes time.
Card& SharedCard();

} // namespace cardenv
