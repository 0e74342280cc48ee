// Module loading, slots and sessions.
#include "p11/p11_key.h"

#include <cstring>
#include <new>

#include <openssl/crypto.h>

#include "p11/p11_internal.h"
#include "platform/module.h"

using p11detail::Call;
using p11detail::Rv;
using tessivo::Fault;
using tessivo::Status;

namespace {

Status InitializeModule(const Call& call) {
    // No locking callbacks and no CKF_OS_LOCKING_OK: the module is called from one thread.
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    const Status status = call.Run(&CK_FUNCTION_LIST::C_Initialize, "C_Initialize", &args);
    // A module that another part of the process already initialised is ready all the same.
    return status.p11 == CKR_CRYPTOKI_ALREADY_INITIALIZED ? Status::Done() : status;
}

Status LoadAndInitialize(const char* fileName, PKCS11_MODULE* module) {
    module->handle = plat::LoadModule(fileName);
    if (module->handle == nullptr) {
        return p11detail::Fail(Fault::NoModule, "load module", CKR_FUNCTION_FAILED);
    }
    void* symbol = plat::FindSymbol(module->handle, "C_GetFunctionList");
    if (symbol == nullptr) {
        return p11detail::Fail(Fault::NoModule, "no C_GetFunctionList", CKR_FUNCTION_FAILED);
    }
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(symbol);
    if (getFunctionList(&module->functions) != CKR_OK || module->functions == nullptr) {
        return p11detail::Fail(Fault::BrokenModule, "C_GetFunctionList", CKR_FUNCTION_FAILED);
    }
    return InitializeModule(Call(module->functions));
}

} // namespace

P11_RV p11_load_module(const char* fileName, PKCS11_MODULE* module) noexcept {
    if (fileName == nullptr || module == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    module->handle = nullptr;
    module->functions = nullptr;
    module->slotIds.Clear();
    const Status status = LoadAndInitialize(fileName, module);
    if (!status.Ok()) {
        // Nothing was initialised: release the library so a failed load leaves nothing behind.
        if (module->handle != nullptr) {
            plat::UnloadModule(module->handle);
        }
        module->handle = nullptr;
        module->functions = nullptr;
    }
    return Rv(status);
}

P11_RV p11_unload_module(PKCS11_MODULE* module) noexcept {
    const Call call(module, CKR_ARGUMENTS_BAD);
    if (!call) {
        return call.Result();
    }
    const P11_RV rv = call(&CK_FUNCTION_LIST::C_Finalize, nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_NOT_INITIALIZED) {
        return rv;
    }
    if (module->handle != nullptr && !plat::UnloadModule(module->handle)) {
        return CKR_FUNCTION_FAILED;
    }
    module->handle = nullptr;
    module->functions = nullptr;
    module->slotIds.Clear();
    return rv;
}

P11_RV p11_get_info(const PKCS11_MODULE* module, CK_INFO* info) noexcept {
    return Call(module)(&CK_FUNCTION_LIST::C_GetInfo, info);
}

P11_RV p11_get_slot_list(PKCS11_MODULE* module, std::uint32_t* slots,
                         std::uint32_t* count) noexcept {
    Call call(module);
    if (!call.Require(count != nullptr)) {
        return call.Result();
    }
    const std::uint32_t capacity = *count;
    // A failing count leaves zero here; the listing call then reports the module's answer.
    CK_ULONG available = 0;
    call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL{CK_FALSE}, nullptr, &available);
    if (available > capacity) {
        return CKR_BUFFER_TOO_SMALL;
    }
    if (slots == nullptr) {
        // No array: the module only reports how many slots it has.
        CK_ULONG listed = capacity;
        const P11_RV rv =
            call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL{CK_FALSE}, nullptr, &listed);
        if (rv != CKR_OK) {
            return rv;
        }
        return call.Fits(listed, *count).Result();
    }
    try {
        // The module writes its own CK_SLOT_ID width; the caller's array holds 32-bit ids.
        std::vector<CK_SLOT_ID> ids(capacity + 1u);
        CK_ULONG written = capacity;
        const P11_RV rv =
            call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL{CK_FALSE}, ids.data(), &written);
        if (rv != CKR_OK) {
            return rv;
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

namespace {

// One call that takes the module's id of a slot and an information record.
template <typename Fn, typename Info>
Status SlotInfoCall(const PKCS11_MODULE* module, std::uint32_t slot, Fn CK_FUNCTION_LIST::*fn,
                    const char* context, Info* info) {
    CK_SLOT_ID id = 0;
    Call call(module);
    call.Slot(module, slot, id);
    return call.Run(fn, context, id, info);
}

} // namespace

P11_RV p11_get_slot_info(const PKCS11_MODULE* module, std::uint32_t slot,
                         CK_SLOT_INFO* info) noexcept {
    return Rv(SlotInfoCall(module, slot, &CK_FUNCTION_LIST::C_GetSlotInfo, "C_GetSlotInfo", info));
}

P11_RV p11_get_token_info(const PKCS11_MODULE* module, std::uint32_t slot,
                          CK_TOKEN_INFO* info) noexcept {
    return Rv(
        SlotInfoCall(module, slot, &CK_FUNCTION_LIST::C_GetTokenInfo, "C_GetTokenInfo", info));
}

P11_RV p11_open_session(const PKCS11_MODULE* module, std::uint32_t slot, std::uint32_t flags,
                        PKCS11_SESSION* session) noexcept {
    CK_SLOT_ID id = 0;
    Call call(module);
    call.Require(session != nullptr).Slot(module, slot, id);
    CK_SESSION_HANDLE handle = 0;
    const P11_RV rv =
        call(&CK_FUNCTION_LIST::C_OpenSession, id, CK_FLAGS{flags}, nullptr, nullptr, &handle);
    if (rv != CKR_OK) {
        return rv;
    }
    session->sessionIds.Clear();
    session->objectIds.Clear();
    session->handle = session->sessionIds.IdOf(handle);
    if (session->handle == 0) {
        // No id for it: do not leave it open behind the caller's back.
        call(&CK_FUNCTION_LIST::C_CloseSession, handle);
        return CKR_HOST_MEMORY;
    }
    return CKR_OK;
}

P11_RV p11_close_session(const PKCS11_MODULE* module, PKCS11_SESSION* session) noexcept {
    CK_SESSION_HANDLE handle = 0;
    Call call(module);
    call.Session(session, handle);
    const P11_RV rv = call(&CK_FUNCTION_LIST::C_CloseSession, handle);
    if (rv == CKR_OK) {
        p11_forget_context_pin(session);
        session->perUseKeys.clear();
        session->objectIds.Clear();
        session->sessionIds.Clear();
    }
    return rv;
}

P11_RV p11_login(const PKCS11_MODULE* module, const PKCS11_SESSION* session, const char* pin,
                 std::uint32_t userType) noexcept {
    CK_SESSION_HANDLE handle = 0;
    Call call(module);
    if (!call.Require(pin != nullptr).Session(session, handle)) {
        return call.Result();
    }
    auto bytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin));
    return call(&CK_FUNCTION_LIST::C_Login, handle, CK_USER_TYPE{userType}, bytes,
                CK_ULONG(std::strlen(pin)));
}

P11_RV p11_logout(const PKCS11_MODULE* module, const PKCS11_SESSION* session) noexcept {
    CK_SESSION_HANDLE handle = 0;
    Call call(module);
    call.Session(session, handle);
    return call(&CK_FUNCTION_LIST::C_Logout, handle);
}

P11_RV p11_get_session_info(const PKCS11_MODULE* module, const PKCS11_SESSION* session,
                            CK_SESSION_INFO* info) noexcept {
    CK_SESSION_HANDLE handle = 0;
    Call call(module);
    call.Session(session, handle);
    return call(&CK_FUNCTION_LIST::C_GetSessionInfo, handle, info);
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
    CK_SESSION_HANDLE handle = 0;
    Call call(module);
    if (!call.Require(pin != nullptr).Session(session, handle)) {
        return call.Result();
    }
    p11_forget_context_pin(session);
    session->perUseKeys.clear();
    try {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_ALWAYS_AUTHENTICATE, &yes, sizeof yes}};
        P11_RV rv = call(&CK_FUNCTION_LIST::C_FindObjectsInit, handle, tmpl, CK_ULONG{2});
        if (rv != CKR_OK) {
            return rv;
        }
        for (;;) {
            CK_OBJECT_HANDLE key = 0;
            CK_ULONG got = 0;
            rv = call(&CK_FUNCTION_LIST::C_FindObjects, handle, &key, CK_ULONG{1}, &got);
            if (rv != CKR_OK || got == 0) {
                break;
            }
            session->perUseKeys.push_back(key);
        }
        const P11_RV finalRv = call(&CK_FUNCTION_LIST::C_FindObjectsFinal, handle);
        if (rv == CKR_OK) {
            rv = finalRv;
        }
        if (rv != CKR_OK || session->perUseKeys.empty()) {
            session->perUseKeys.clear();
            return rv;
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
