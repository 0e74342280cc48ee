// The card as the agent holds it: the module, opened for the agent's lifetime and afresh after a
// refused logout, and the certificates and the key of the last login. Each owner releases what
// it holds when it goes; the session declares the module first, so the key and the certificates,
// which call into the module, always go before it.
#pragma once

#include <memory>

#include "vantrel.h"

struct CertRelease {
    void operator()(void* cert) const { FreeCert(cert); }
};
struct KeyRelease {
    void operator()(void* key) const { FreeKey(key); }
};
using CertOwner = std::unique_ptr<void, CertRelease>;
using KeyOwner = std::unique_ptr<void, KeyRelease>;

// The module behind the token functions: one PKCS11 record, open or not.
class TokenLibrary {
public:
    TokenLibrary() = default;
    ~TokenLibrary();
    TokenLibrary(const TokenLibrary&) = delete;
    TokenLibrary& operator=(const TokenLibrary&) = delete;

    // Closes the module when it is open and opens it afresh; false leaves it closed.
    bool Reopen();
    // Logs out a session still attached and closes the module; false when it was not open.
    bool Close();

    PKCS11 pkcs11{};
    bool open = false;
};

// The signature certificate, the encipherment certificate and the signature key of a login.
struct CardObjects {
    CertOwner signCert;
    CertOwner encCert;
    KeyOwner signKey;

    // Loads the three in this order; false at the first the card does not give.
    bool Load(PKCS11& pkcs11);
    void Release() { *this = CardObjects{}; }
};

class TokenSession {
public:
    // The one reopen, at start and after a refused logout: what calls into the module goes
    // first.
    bool Reopen() {
        objects.Release();
        return library.Reopen();
    }

    TokenLibrary library; // first: it goes last
    CardObjects objects;
    bool loggedIn = false;
};
