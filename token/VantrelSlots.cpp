// Slots, tokens and the one login session of a PKCS11.
#include "token/VantrelBasic.h"

#include <cstring>
#include <new>

#include <openssl/crypto.h>

#include "p11/p11_key.h"

using vantrel::Basic;

namespace {

constexpr std::size_t kPinBufferSize = 256;

// The common start: a record with a loaded module.
VR_RESULT CheckModule(const PKCS11* p11) {
    if (p11 == nullptr) {
        return BASIC_ARGUMENTS_BAD;
    }
    return p11->module != nullptr ? OK : BASIC_MODULE_NOT_LOADED;
}

// The module says the session no longer exists: the card was pulled (its sessions end with it)
// or the session was closed. There is then nothing left to log out of or to close.
bool SessionGone(P11_RV rv) {
    return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED ||
           rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT;
}

// The slot's description record, after the common start.
VR_RESULT ReadSlotInfo(const PKCS11* p11, VR_SLOT_ID slot, CK_SLOT_INFO& info) {
    if (VR_RESULT rc = CheckModule(p11)) {
        return rc;
    }
    std::memset(&info, 0, sizeof info);
    return Basic(p11_get_slot_info(p11->module, slot, &info));
}

// The token's description record, after the common start.
VR_RESULT ReadTokenInfo(const PKCS11* p11, VR_SLOT_ID slot, CK_TOKEN_INFO& info) {
    if (VR_RESULT rc = CheckModule(p11)) {
        return rc;
    }
    std::memset(&info, 0, sizeof info);
    return Basic(p11_get_token_info(p11->module, slot, &info));
}

std::uint32_t Saturate32(CK_ULONG value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

// Logs in through a wiped work copy of the PIN, then hands out the module's device error.
// The work copy is wiped as soon as the module has the PIN, with one exception: when the token
// holds keys that need the PIN before every signature (CKA_ALWAYS_AUTHENTICATE), the session
// record keeps a copy in locked memory until logout.
P11_RV LoginWithPin(const PKCS11* p11, PKCS11_SESSION* session, const char* pin,
                    std::uint32_t* deviceError) {
    char work[kPinBufferSize];
    std::memcpy(work, pin, std::strlen(pin) + 1);
    const P11_RV rv = p11_login(p11->module, session, work, CKU_USER);
    CK_SESSION_INFO info;
    std::memset(&info, 0, sizeof info);
    if (p11_get_session_info(p11->module, session, &info) == CKR_OK && deviceError != nullptr) {
        *deviceError = Saturate32(info.ulDeviceError);
    }
    // An empty PIN (a reader with a PIN pad) is kept as such: each per-use login then asks the
    // pad again.
    if (rv == CKR_OK) {
        // A failed search only means no copy: the login itself stands.
        p11_keep_context_pin(p11->module, session, work);
    }
    OPENSSL_cleanse(work, sizeof work);
    return rv;
}

} // namespace

VANTREL_API VR_RESULT GetSlotID(PKCS11* p11, VR_SLOT_ID* slotList, std::uint32_t* count) {
    if (VR_RESULT rc = CheckModule(p11)) {
        return rc;
    }
    return Basic(p11_get_slot_list(p11->module, slotList, count));
}

VANTREL_API VR_RESULT GetSlotDesc(PKCS11* p11, VR_SLOT_ID slot, char* buf, std::uint32_t* len) {
    CK_SLOT_INFO info;
    if (VR_RESULT rc = ReadSlotInfo(p11, slot, info)) {
        return rc;
    }
    return vantrel::CopyPadded(info.slotDescription, sizeof info.slotDescription, buf, len);
}

VANTREL_API VR_RESULT IsTokenPresent(PKCS11* p11, VR_SLOT_ID slot) {
    CK_SLOT_INFO info;
    if (VR_RESULT rc = ReadSlotInfo(p11, slot, info)) {
        return rc;
    }
    return (info.flags & CKF_TOKEN_PRESENT) != 0 ? 1 : 0;
}

VANTREL_API VR_RESULT GetTokenLabel(PKCS11* p11, VR_SLOT_ID slot, char* buf, std::uint32_t* len) {
    CK_TOKEN_INFO info;
    if (VR_RESULT rc = ReadTokenInfo(p11, slot, info)) {
        return rc;
    }
    return vantrel::CopyPadded(info.label, sizeof info.label, buf, len);
}

VANTREL_API VR_RESULT GetTokenSerialNumber(PKCS11* p11, VR_SLOT_ID slot, char* buf,
                                           std::uint32_t* len) {
    CK_TOKEN_INFO info;
    if (VR_RESULT rc = ReadTokenInfo(p11, slot, info)) {
        return rc;
    }
    return vantrel::CopyPadded(info.serialNumber, sizeof info.serialNumber, buf, len);
}

VANTREL_API VR_RESULT LoginToken(PKCS11* p11, VR_SLOT_ID slot, const char* pin,
                                 std::uint32_t* deviceError) {
    if (VR_RESULT rc = CheckModule(p11)) {
        return rc;
    }
    if (p11->session != nullptr) {
        return BASIC_USER_ALREADY_LOGGED_IN;
    }
    // The work buffer holds 255 bytes and the terminator; a longer PIN is never sent cut short.
    if (pin != nullptr && std::strlen(pin) >= kPinBufferSize) {
        return Basic(CKR_PIN_LEN_RANGE);
    }
    auto* session = new (std::nothrow) PKCS11_SESSION{};
    if (session == nullptr) {
        return BASIC_MALLOC_ERROR;
    }
    session->slotId = slot;
    if (const P11_RV rv = p11_open_session(p11->module, slot, CKF_SERIAL_SESSION, session)) {
        delete session;
        return Basic(rv);
    }
    session->opened = 1;
    if (pin != nullptr) {
        if (const P11_RV rv = LoginWithPin(p11, session, pin, deviceError)) {
            // A refused PIN leaves nothing open behind the caller, and no copy of it.
            p11_forget_context_pin(session);
            p11_close_session(p11->module, session);
            delete session;
            return Basic(rv);
        }
        session->loggedIn = 1;
    }
    p11->session = session;
    return OK;
}

VANTREL_API VR_RESULT LogoutToken(PKCS11* p11) {
    if (VR_RESULT rc = CheckModule(p11)) {
        return rc;
    }
    PKCS11_SESSION* session = p11->session;
    if (session == nullptr) {
        return BASIC_USER_NOT_LOGGED_IN;
    }
    if (session->loggedIn) {
        // The kept PIN goes with the login, even if the module refuses to log out.
        p11_forget_context_pin(session);
        const P11_RV rv = p11_logout(p11->module, session);
        if (rv != 0 && !SessionGone(rv)) {
            return Basic(rv);
        }
        session->loggedIn = 0;
    }
    if (session->opened) {
        const P11_RV rv = p11_close_session(p11->module, session);
        if (rv != 0 && !SessionGone(rv)) {
            return Basic(rv);
        }
        session->opened = 0;
        session->handle = 0;
    }
    delete session;
    p11->session = nullptr;
    return OK;
}
