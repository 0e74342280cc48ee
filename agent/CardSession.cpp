#include "agent/CardSession.h"

#include <string>

#include "platform/module_choice.h"

namespace {

// Whether CloseLibrary left the module finalised: it answers CKR_CRYPTOKI_NOT_INITIALIZED for
// a module that was no longer initialised, and unloads it all the same.
bool Closed(VR_RESULT result) {
    return result == OK || result == (BASIC_ERRORS | 0x190u);
}

} // namespace

TokenLibrary::~TokenLibrary() {
    Close();
}

// A module that refuses to finalise keeps its state, its login among it, and an open that
// followed would only attach to that state: every later login would fail as already logged in.
// It gets one more close before the fresh open; a module that refuses twice stays closed here.
bool TokenLibrary::Reopen() {
    const std::string module = plat::ChosenPkcs11Module();
    if (open) {
        open = false;
        if (!Closed(CloseLibrary(&pkcs11)) &&
            (InitLibrary(module.c_str(), &pkcs11) != OK || !Closed(CloseLibrary(&pkcs11)))) {
            return false;
        }
    }
    open = InitLibrary(module.c_str(), &pkcs11) == OK;
    return open;
}

bool TokenLibrary::Close() {
    if (!open) {
        return false;
    }
    open = false;
    if (pkcs11.session != nullptr) {
        LogoutToken(&pkcs11);
    }
    CloseLibrary(&pkcs11);
    return true;
}

bool CardObjects::Load(PKCS11& pkcs11) {
    VR_CERT cert = nullptr;
    const bool sign = GetSignatureCert(&pkcs11, &cert) == OK;
    signCert.reset(cert);
    if (!sign) {
        return false;
    }
    cert = nullptr;
    const bool enc = GetEnciphermentCert(&pkcs11, &cert) == OK;
    encCert.reset(cert);
    if (!enc) {
        return false;
    }
    VR_KEY key = nullptr;
    const bool found = GetSignatureKey(&pkcs11, &key) == OK;
    signKey.reset(key);
    return found;
}
