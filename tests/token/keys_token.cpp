#include "tests/token/keys_token.h"

#include "tests/fixtures/softhsm_token.h"
#include "tests/fixtures/test_module.h"

#include <cstring>
#include <stdexcept>

namespace keystest {

namespace {

class TestModuleToken : public TestToken {
public:
    explicit TestModuleToken(const std::vector<TokenObject>& objects) {
        std::string text = std::string("slot = Keys Reader ; 1 ; ") + kLabel + " ; 0001\n" +
                           "pin = " + kPin + "\n";
        for (const auto& o : objects) {
            const char* kind = o.kind == TokenObject::Kind::Cert  ? "cert"
                               : o.kind == TokenObject::Kind::Key ? "key"
                                                                  : "raw_cert";
            text += std::string("object = ") + kind + " ; hex:" + fixtures::HexOf(o.id) + " ; " +
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

void Check(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error("keys test token: " + what);
    }
}

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
    return fixtures::MakeKeyFiles(dir, name, name, bits, keyUsage);
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
