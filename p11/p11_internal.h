// Helpers shared by the binding's units; not part of its interface.
#pragma once

#include <cstdint>
#include <vector>

#include "p11/p11_key.h"

namespace p11detail {

inline constexpr CK_ULONG kMax32 = 0xFFFFFFFFu;

inline bool Fits32(CK_ULONG value) {
    return value <= kMax32;
}

// A CK_RV as the binding reports it; a value beyond 32 bits is a broken module.
inline P11_RV Rv32(CK_RV rv) {
    return Fits32(rv) ? static_cast<P11_RV>(rv) : CKR_FUNCTION_FAILED;
}

// The module's session handle behind a record's id; false when the id stands for nothing.
inline bool SessionHandleOf(const PKCS11_SESSION* session, CK_SESSION_HANDLE& handle) {
    return session != nullptr && session->sessionIds.HandleOf(session->handle, handle);
}

inline CK_FUNCTION_LIST_PTR FunctionsOf(const PKCS11_MODULE* module) {
    return module != nullptr ? module->functions : nullptr;
}

// Reads one attribute at its real size into `value`; CKR_OK or the module's refusal.
CK_RV ReadAttribute(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE session,
                    CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                    std::vector<unsigned char>& value);

} // namespace p11detail
