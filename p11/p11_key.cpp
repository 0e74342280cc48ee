// Module loading, slots and sessions.
#include "p11/p11_key.h"

#include <cstring>
#include <new>

#include "p11/p11_internal.h"
#include "platform/module.h"

using p11detail::Fits32;
using p11detail::FunctionsOf;
using p11detail::Rv32;

namespace {

P11_RV InitializeModule(CK_FUNCTION_LIST_PTR functions) {
    // No locking callbacks and no CKF_OS_LOCKING_OK: the module is called from one thread.
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    const CK_RV rv = functions->C_Initialize(&args);
    // A module that another part of the process already initialised is ready all the same.
    if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return CKR_OK;
    }
    return Rv32(rv);
}

P11_RV LoadAndInitialize(const char* fileName, PKCS11_MODULE* module) {
    module->handle = plat::LoadModule(fileName);
    void* symbol = plat::FindSymbol(module->handle, "C_GetFunctionList");
    if (module->handle == nullptr || symbol == nullptr) {
        return CKR_FUNCTION_FAILED;
    }
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(symbol);
    if (getFunctionList(&module->functions) != CKR_OK || module->functions == nullptr) {
        return CKR_FUNCTION_FAILED;
    }
    return InitializeModule(module->functions);
}

} // namespace

P11_RV p11_load_module(const char* fileName, PKCS11_MODULE* module) noexcept {
    if (fileName == nullptr || module == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    module->handle = nullptr;
    module->functions = nullptr;
    const P11_RV rv = LoadAndInitialize(fileName, module);
    if (rv != CKR_OK) {
        // Nothing was initialised: release the library so a failed load leaves nothing behind.
        if (module->handle != nullptr) {
            plat::UnloadModule(module->handle);
        }
        module->handle = nullptr;
        module->functions = nullptr;
    }
    return rv;
}

P11_RV p11_unload_module(PKCS11_MODULE* module) noexcept {
    if (module == nullptr || module->functions == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const CK_RV rv = module->functions->C_Finalize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_NOT_INITIALIZED) {
        return Rv32(rv);
    }
    if (module->handle != nullptr && !plat::UnloadModule(module->handle)) {
        return CKR_FUNCTION_FAILED;
    }
    module->handle = nullptr;
    module->functions = nullptr;
    return static_cast<P11_RV>(rv);
}

P11_RV p11_get_info(const PKCS11_MODULE* module, CK_INFO* info) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return Rv32(f->C_GetInfo(info));
}

P11_RV p11_get_slot_list(const PKCS11_MODULE* module, std::uint32_t* slots,
                         std::uint32_t* count) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    const std::uint32_t capacity = *count;
    // A failing count leaves zero here; the listing call then reports the module's answer.
    CK_ULONG available = 0;
    f->C_GetSlotList(CK_FALSE, nullptr, &available);
    if (available > capacity) {
        return CKR_BUFFER_TOO_SMALL;
    }
    if (slots == nullptr) {
        // No array: the module only reports how many slots it has.
        CK_ULONG listed = capacity;
        const CK_RV rv = f->C_GetSlotList(CK_FALSE, nullptr, &listed);
        if (rv != CKR_OK) {
            return Rv32(rv);
        }
        if (!Fits32(listed)) {
            return CKR_FUNCTION_FAILED;
        }
        *count = static_cast<std::uint32_t>(listed);
        return CKR_OK;
    }
    try {
        // The module writes its own CK_SLOT_ID width; the caller's array holds 32-bit ids.
        std::vector<CK_SLOT_ID> ids(capacity + 1u);
        CK_ULONG written = capacity;
        const CK_RV rv = f->C_GetSlotList(CK_FALSE, ids.data(), &written);
        if (rv != CKR_OK) {
            return Rv32(rv);
        }
        if (written > capacity) {
            return CKR_BUFFER_TOO_SMALL;
        }
        for (CK_ULONG i = 0; i < written; ++i) {
            if (!Fits32(ids[i])) {
                return CKR_FUNCTION_FAILED;
            }
        }
        for (CK_ULONG i = 0; i < written; ++i) {
            slots[i] = static_cast<std::uint32_t>(ids[i]);
        }
        *count = static_cast<std::uint32_t>(written);
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
}

P11_RV p11_get_slot_info(const PKCS11_MODULE* module, std::uint32_t slot,
                         CK_SLOT_INFO* info) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return Rv32(f->C_GetSlotInfo(slot, info));
}

P11_RV p11_get_token_info(const PKCS11_MODULE* module, std::uint32_t slot,
                          CK_TOKEN_INFO* info) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return Rv32(f->C_GetTokenInfo(slot, info));
}

P11_RV p11_open_session(const PKCS11_MODULE* module, std::uint32_t slot, std::uint32_t flags,
                        std::uint32_t* session) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (session == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_SESSION_HANDLE handle = 0;
    const CK_RV rv = f->C_OpenSession(slot, flags, nullptr, nullptr, &handle);
    if (rv != CKR_OK) {
        return Rv32(rv);
    }
    if (!Fits32(handle)) {
        // Unusable through a 32-bit handle: do not leave it open behind the caller's back.
        f->C_CloseSession(handle);
        return CKR_FUNCTION_FAILED;
    }
    *session = static_cast<std::uint32_t>(handle);
    return CKR_OK;
}

P11_RV p11_close_session(const PKCS11_MODULE* module, std::uint32_t session) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return Rv32(f->C_CloseSession(session));
}

P11_RV p11_login(const PKCS11_MODULE* module, std::uint32_t session, const char* pin,
                 std::uint32_t userType) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pin == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    auto bytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin));
    return Rv32(f->C_Login(session, userType, bytes, std::strlen(pin)));
}

P11_RV p11_logout(const PKCS11_MODULE* module, std::uint32_t session) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return Rv32(f->C_Logout(session));
}

P11_RV p11_get_session_info(const PKCS11_MODULE* module, std::uint32_t session,
                            CK_SESSION_INFO* info) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return Rv32(f->C_GetSessionInfo(session, info));
}
