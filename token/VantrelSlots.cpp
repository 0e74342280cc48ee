// Slots, tokens and the one login session of a PKCS11.
#include "token/VantrelBasic.h"

#include <cstring>
#include <new>

#include <openssl/crypto.h>

#include "p11/p11_key.h"

using vantrel::Fault;
using vantrel::Status;
using vantrel::ToResult;

namespace {

constexpr std::size_t kPinBufferSize = 256;

// The common start: a record with a loaded module.
Status CheckModule(const PKCS11* p11) {
    if (p11 == nullptr) {
        return Status::Fail(Fault::Argument, "record");
    }
    return p11->module != nullptr ? Status::Done() : Status::Fail(Fault::NoModule, "module");
}

// The module says the session no longer exists: the card was pulled (its sessions end with it)
// or the session was closed. There is then nothing left to log out of or to close.
bool SessionGone(P11_RV rv) {
    return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED ||
           rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT;
}

// The slot's description record, after the common start.
Status ReadSlotInfo(const PKCS11* p11, VR_SLOT_ID slot, CK_SLOT_INFO& info) {
    if (Status checked = CheckModule(p11); !checked.Ok()) {
        return checked;
    }
    std::memset(&info, 0, sizeof info);
    return Status::FromRv(p11_get_slot_info(p11->module, slot, &info), "C_GetSlotInfo");
}

// The token's description record, after the common start.
Status ReadTokenInfo(const PKCS11* p11, VR_SLOT_ID slot, CK_TOKEN_INFO& info) {
    if (Status checked = CheckModule(p11); !checked.Ok()) {
        return checked;
    }
    std::memset(&info, 0, sizeof info);
    return Status::FromRv(p11_get_token_info(p11->module, slot, &info), "C_GetTokenInfo");
}

// A padded field of the slot's or the token's record as text.
template <typename Info, std::size_t Width>
Status InfoText(Status (*read)(const PKCS11*, VR_SLOT_ID, Info&),
                unsigned char (Info::*field)[Width], PKCS11* p11, VR_SLOT_ID slot, char* buf,
                std::uint32_t* len) {
    Info info;
    if (Status got = read(p11, slot, info); !got.Ok()) {
        return got;
    }
    return vantrel::CopyPadded(info.*field, Width, buf, len);
}

std::uint32_t Saturate32(CK_ULONG value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

// Logs in through a wiped work copy of the PIN, then hands out the module's device error.
// The work copy is wiped as soon as the module has the PIN, with one exception: when the token
// holds keys that need the PIN before every signature (CKA_ALWAYS_AUTHENTICATE), the session
// record keeps a copy in locked memory until logout.
Status LoginWithPin(const PKCS11* p11, PKCS11_SESSION* session, const char* pin,
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
    return Status::FromRv(rv, "C_Login");
}

Status Login(PKCS11* p11, VR_SLOT_ID slot, const char* pin, std::uint32_t* deviceError) {
    if (Status checked = CheckModule(p11); !checked.Ok()) {
        return checked;
    }
    if (p11->session != nullptr) {
        return Status::Fail(Fault::AlreadyLoggedIn, "login");
    }
    // The work buffer holds 255 bytes and the terminator; a longer PIN is never sent cut short.
    if (pin != nullptr && std::strlen(pin) >= kPinBufferSize) {
        return Status::Fail(Fault::Argument, "PIN length", CKR_PIN_LEN_RANGE);
    }
    auto* session = new (std::nothrow) PKCS11_SESSION{};
    if (session == nullptr) {
        return Status::Fail(Fault::Memory, "session record");
    }
    session->slotId = slot;
    const Status opened = Status::FromRv(
        p11_open_session(p11->module, slot, CKF_SERIAL_SESSION, session), "C_OpenSession");
    if (!opened.Ok()) {
        delete session;
        return opened;
    }
    session->opened = 1;
    if (pin != nullptr) {
        if (Status login = LoginWithPin(p11, session, pin, deviceError); !login.Ok()) {
            // A refused PIN leaves nothing open behind the caller, and no copy of it.
            p11_forget_context_pin(session);
            p11_close_session(p11->module, session);
            delete session;
            return login;
        }
        session->loggedIn = 1;
    }
    p11->session = session;
    return Status::Done();
}

Status Logout(PKCS11* p11) {
    if (Status checked = CheckModule(p11); !checked.Ok()) {
        return checked;
    }
    PKCS11_SESSION* session = p11->session;
    if (session == nullptr) {
        return Status::Fail(Fault::NotLoggedIn, "logout");
    }
    if (session->loggedIn) {
        // The kept PIN goes with the login, even if the module refuses to log out.
        p11_forget_context_pin(session);
        const P11_RV rv = p11_logout(p11->module, session);
        if (rv != 0 && !SessionGone(rv)) {
            return Status::FromRv(rv, "C_Logout");
        }
        session->loggedIn = 0;
    }
    if (session->opened) {
        const P11_RV rv = p11_close_session(p11->module, session);
        if (rv != 0 && !SessionGone(rv)) {
            return Status::FromRv(rv, "C_CloseSession");
        }
        session->opened = 0;
        session->handle = 0;
    }
    delete session;
    p11->session = nullptr;
    return Status::Done();
}

} // namespace

VANTREL_API VR_RESULT GetSlotID(PKCS11* p11, VR_SLOT_ID* slotList, std::uint32_t* count) {
    Status status = CheckModule(p11);
    if (status.Ok()) {
        status = Status::FromRv(p11_get_slot_list(p11->module, slotList, count), "C_GetSlotList");
    }
    return ToResult(status);
}

VANTREL_API VR_RESULT GetSlotDesc(PKCS11* p11, VR_SLOT_ID slot, char* buf, std::uint32_t* len) {
    return ToResult(InfoText(ReadSlotInfo, &CK_SLOT_INFO::slotDescription, p11, slot, buf, len));
}

VANTREL_API VR_RESULT IsTokenPresent(PKCS11* p11, VR_SLOT_ID slot) {
    CK_SLOT_INFO info;
    if (Status read = ReadSlotInfo(p11, slot, info); !read.Ok()) {
        return ToResult(read);
    }
    return (info.flags & CKF_TOKEN_PRESENT) != 0 ? 1 : 0;
}

VANTREL_API VR_RESULT GetTokenLabel(PKCS11* p11, VR_SLOT_ID slot, char* buf, std::uint32_t* len) {
    return ToResult(InfoText(ReadTokenInfo, &CK_TOKEN_INFO::label, p11, slot, buf, len));
}

VANTREL_API VR_RESULT GetTokenSerialNumber(PKCS11* p11, VR_SLOT_ID slot, char* buf,
                                           std::uint32_t* len) {
    return ToResult(InfoText(ReadTokenInfo, &CK_TOKEN_INFO::serialNumber, p11, slot, buf, len));
}

VANTREL_API VR_RESULT LoginToken(PKCS11* p11, VR_SLOT_ID slot, const char* pin,
                                 std::uint32_t* deviceError) {
    return ToResult(Login(p11, slot, pin, deviceError));
}

VANTREL_API VR_RESULT LogoutToken(PKCS11* p11) {
    return ToResult(Logout(p11));
}
