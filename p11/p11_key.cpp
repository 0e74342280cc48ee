// Module loading, slots and sessions.
#include "p11/p11_key.h"

#include <cstring>
#include <new>

#include <openssl/crypto.h>

#include "p11/p11_internal.h"
#include "platform/module.h"

using p11detail::Fits32;
using p11detail::FunctionsOf;
using p11detail::Rv32;
using p11detail::SessionHandleOf;

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
    module->slotIds.Clear();
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
    module->slotIds.Clear();
    return static_cast<P11_RV>(rv);
}

P11_RV p11_get_info(const PKCS11_MODULE* module, CK_INFO* info) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return Rv32(f->C_GetInfo(info));
}

P11_RV p11_get_slot_list(PKCS11_MODULE* module, std::uint32_t* slots,
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
            const std::uint32_t id = module->slotIds.IdOf(ids[i]);
            if (id == 0) {
                return CKR_HOST_MEMORY;
            }
            slots[i] = id;
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
    CK_SLOT_ID id = 0;
    if (!module->slotIds.HandleOf(slot, id)) {
        return CKR_SLOT_ID_INVALID;
    }
    return Rv32(f->C_GetSlotInfo(id, info));
}

P11_RV p11_get_token_info(const PKCS11_MODULE* module, std::uint32_t slot,
                          CK_TOKEN_INFO* info) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    CK_SLOT_ID id = 0;
    if (!module->slotIds.HandleOf(slot, id)) {
        return CKR_SLOT_ID_INVALID;
    }
    return Rv32(f->C_GetTokenInfo(id, info));
}

P11_RV p11_open_session(const PKCS11_MODULE* module, std::uint32_t slot, std::uint32_t flags,
                        PKCS11_SESSION* session) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (session == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_SLOT_ID id = 0;
    if (!module->slotIds.HandleOf(slot, id)) {
        return CKR_SLOT_ID_INVALID;
    }
    CK_SESSION_HANDLE handle = 0;
    const CK_RV rv = f->C_OpenSession(id, flags, nullptr, nullptr, &handle);
    if (rv != CKR_OK) {
        return Rv32(rv);
    }
    session->sessionIds.Clear();
    session->objectIds.Clear();
    session->handle = session->sessionIds.IdOf(handle);
    if (session->handle == 0) {
        // No id for it: do not leave it open behind the caller's back.
        f->C_CloseSession(handle);
        return CKR_HOST_MEMORY;
    }
    return CKR_OK;
}

P11_RV p11_close_session(const PKCS11_MODULE* module, PKCS11_SESSION* session) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    CK_SESSION_HANDLE handle = 0;
    if (!SessionHandleOf(session, handle)) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    const CK_RV rv = f->C_CloseSession(handle);
    if (rv == CKR_OK) {
        p11_forget_context_pin(session);
        session->perUseKeys.clear();
        session->objectIds.Clear();
        session->sessionIds.Clear();
    }
    return Rv32(rv);
}

P11_RV p11_login(const PKCS11_MODULE* module, const PKCS11_SESSION* session, const char* pin,
                 std::uint32_t userType) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pin == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_SESSION_HANDLE handle = 0;
    if (!SessionHandleOf(session, handle)) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    auto bytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin));
    return Rv32(f->C_Login(handle, userType, bytes, std::strlen(pin)));
}

P11_RV p11_logout(const PKCS11_MODULE* module, const PKCS11_SESSION* session) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    CK_SESSION_HANDLE handle = 0;
    if (!SessionHandleOf(session, handle)) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    return Rv32(f->C_Logout(handle));
}

P11_RV p11_get_session_info(const PKCS11_MODULE* module, const PKCS11_SESSION* session,
                            CK_SESSION_INFO* info) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    CK_SESSION_HANDLE handle = 0;
    if (!SessionHandleOf(session, handle)) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    return Rv32(f->C_GetSessionInfo(handle, info));
}

bool P11ContextPin::Keep(const char* pin) noexcept {
    Wipe();
    const std::size_t length = std::strlen(pin);
    if (!page_.Allocate() || length >= page_.Size()) {
        page_.Release();
        return false;
    }
    std::memcpy(page_.Data(), pin, length);
    length_ = length;
    return true;
}

void P11ContextPin::Wipe() noexcept {
    if (page_.Data() != nullptr) {
        OPENSSL_cleanse(page_.Data(), page_.Size());
    }
    page_.Release();
    length_ = 0;
}

P11_RV p11_keep_context_pin(const PKCS11_MODULE* module, PKCS11_SESSION* session,
                            const char* pin) noexcept {
    CK_FUNCTION_LIST_PTR f = FunctionsOf(module);
    if (f == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (pin == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_SESSION_HANDLE handle = 0;
    if (!SessionHandleOf(session, handle)) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    p11_forget_context_pin(session);
    session->perUseKeys.clear();
    try {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_ALWAYS_AUTHENTICATE, &yes, sizeof yes}};
        CK_RV rv = f->C_FindObjectsInit(handle, tmpl, 2);
        if (rv != CKR_OK) {
            return Rv32(rv);
        }
        for (;;) {
            CK_OBJECT_HANDLE key = 0;
            CK_ULONG got = 0;
            rv = f->C_FindObjects(handle, &key, 1, &got);
            if (rv != CKR_OK || got == 0) {
                break;
            }
            session->perUseKeys.push_back(key);
        }
        const CK_RV finalRv = f->C_FindObjectsFinal(handle);
        if (rv == CKR_OK) {
            rv = finalRv;
        }
        if (rv != CKR_OK || session->perUseKeys.empty()) {
            session->perUseKeys.clear();
            return Rv32(rv);
        }
        auto kept = std::make_shared<P11ContextPin>();
        if (!kept->Keep(pin)) {
            session->perUseKeys.clear();
            return CKR_HOST_MEMORY;
        }
        session->contextPin = std::move(kept);
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        session->perUseKeys.clear();
        return CKR_HOST_MEMORY;
    }
}

void p11_forget_context_pin(PKCS11_SESSION* session) noexcept {
    if (session != nullptr && session->contextPin) {
        // Keys made on the session share the copy: wiping it here reaches them too.
        session->contextPin->Wipe();
        session->contextPin.reset();
    }
}
