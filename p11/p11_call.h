// The one road from a binding operation to the module: the function list, the module's handles
// behind the ids the binding handed out, the call through the list and its answer as the
// binding reports it. Not part of the binding's interface.
#pragma once

#include <cstdint>

#include "p11/p11_key.h"
#include "status/Status.h"

namespace p11detail {

inline constexpr CK_ULONG kMax32 = 0xFFFFFFFFu;

inline bool Fits32(CK_ULONG value) {
    return value <= kMax32;
}

// A CK_RV as the binding reports it; a value beyond 32 bits is a broken module.
inline P11_RV Rv32(CK_RV rv) {
    return Fits32(rv) ? static_cast<P11_RV>(rv) : CKR_FUNCTION_FAILED;
}

// An operation's checks and module calls. The checks run in the order the operation makes them;
// the first refusal is kept and every later check and call is skipped and answers with it, so an
// operation reports the first thing wrong and never reaches the module with a bad handle. What
// is kept is a typed status: what failed, the code the binding reports for it and the step.
class Call {
public:
    // Without a module or function list every step answers `noModule`.
    explicit Call(const PKCS11_MODULE* module,
                  P11_RV noModule = CKR_CRYPTOKI_NOT_INITIALIZED) noexcept
        : Call(module != nullptr ? module->functions : nullptr, noModule) {}
    explicit Call(CK_FUNCTION_LIST_PTR functions,
                  P11_RV noModule = CKR_CRYPTOKI_NOT_INITIALIZED) noexcept
        : functions_(functions),
          status_(functions != nullptr
                      ? tessivo::Status::Done()
                      : tessivo::Status::Fail(tessivo::Fault::NoModule, "no module", noModule)) {}

    // CKR_OK while nothing was refused, else the first refusal's code.
    P11_RV Result() const noexcept { return status_.p11; }
    // The first refusal as a typed status.
    const tessivo::Status& Outcome() const noexcept { return status_; }
    explicit operator bool() const noexcept { return status_.Ok(); }

    // An argument check of the operation's own.
    Call& Require(bool ok, P11_RV refusal = CKR_ARGUMENTS_BAD, const char* context = "argument",
                  tessivo::Fault fault = tessivo::Fault::Argument) noexcept {
        if (status_.Ok() && !ok) {
            status_ = tessivo::Status::Fail(fault, context, refusal);
        }
        return *this;
    }
    // The module's slot id behind a slot id of the module record.
    Call& Slot(const PKCS11_MODULE* module, std::uint32_t id, CK_SLOT_ID& slot) noexcept {
        return Require(module != nullptr && module->slotIds.HandleOf(id, slot), CKR_SLOT_ID_INVALID,
                       "slot id");
    }
    // The module's session handle behind a session record.
    Call& Session(const PKCS11_SESSION* session, CK_SESSION_HANDLE& handle) noexcept {
        return Require(session != nullptr && session->sessionIds.HandleOf(session->handle, handle),
                       CKR_SESSION_HANDLE_INVALID, "session id");
    }
    // The module's object handle behind an object id of the session record.
    Call& Object(const PKCS11_SESSION* session, std::uint32_t id,
                 CK_OBJECT_HANDLE& object) noexcept {
        return Require(session != nullptr && session->objectIds.HandleOf(id, object),
                       CKR_OBJECT_HANDLE_INVALID, "object id");
    }
    // A count from the module into a 32-bit field; more than that is a broken module.
    Call& Fits(CK_ULONG value, std::uint32_t& out) noexcept {
        Require(Fits32(value), CKR_FUNCTION_FAILED, "count beyond 32 bits",
                tessivo::Fault::BrokenModule);
        if (status_.Ok()) {
            out = static_cast<std::uint32_t>(value);
        }
        return *this;
    }

    // One function of the list, e.g. Raw(&CK_FUNCTION_LIST::C_Logout, session): the module's own
    // CK_RV, or the refusal kept so far. A list without the function is a broken module; it is
    // refused rather than called through a null pointer.
    template <typename Fn, typename... Args>
    CK_RV Raw(Fn CK_FUNCTION_LIST::*function, Args... args) const noexcept {
        if (!status_.Ok()) {
            return status_.p11;
        }
        const Fn entry = functions_->*function;
        if (entry == nullptr) {
            return CKR_FUNCTION_FAILED;
        }
        return entry(args...);
    }
    // The same answer as a typed status, `context` naming the step: a refusal carries the code
    // as the binding reports it (32 bits); a missing function or a wider code is a broken module.
    template <typename Fn, typename... Args>
    tessivo::Status Run(Fn CK_FUNCTION_LIST::*function, const char* context,
                        Args... args) const noexcept {
        if (!status_.Ok()) {
            return status_;
        }
        if (functions_->*function == nullptr) {
            return tessivo::Status::Fail(tessivo::Fault::BrokenModule, context,
                                         CKR_FUNCTION_FAILED);
        }
        const CK_RV rv = Raw(function, args...);
        if (!Fits32(rv)) {
            return tessivo::Status::Fail(tessivo::Fault::BrokenModule, context,
                                         CKR_FUNCTION_FAILED);
        }
        return tessivo::Status::FromRv(static_cast<P11_RV>(rv), context);
    }
    // The same answer as the binding reports it (32 bits).
    template <typename Fn, typename... Args>
    P11_RV operator()(Fn CK_FUNCTION_LIST::*function, Args... args) const noexcept {
        return Rv32(Raw(function, args...));
    }

    CK_FUNCTION_LIST_PTR Functions() const noexcept { return functions_; }

private:
    CK_FUNCTION_LIST_PTR functions_;
    tessivo::Status status_;
};

// A failure the binding itself notices, in its own PKCS#11 words.
inline tessivo::Status Fail(tessivo::Fault fault, const char* context, P11_RV code) noexcept {
    return tessivo::Status::Fail(fault, context, code);
}

// A status as the binding's interface reports it: CKR_OK, or the code the failure carries.
inline P11_RV Rv(const tessivo::Status& status) noexcept {
    return status.p11;
}

} // namespace p11detail
