#include "p11/p11_view.h"

#include <cstring>

#include "p11/p11_call.h"
#include "platform/module.h"

namespace p11view {

namespace {

using p11detail::Call;
using tessivo::Fault;
using tessivo::Status;

// An attribute's bytes; empty when the object does not have it or shows it only after a login.
std::vector<std::uint8_t> Attribute(const Call& call, CK_SESSION_HANDLE session,
                                    CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query = {type, nullptr, 0};
    if (call.Raw(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &query, CK_ULONG{1}) !=
            CKR_OK ||
        query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen == 0 ||
        query.ulValueLen > 1024 * 1024) {
        return {};
    }
    std::vector<std::uint8_t> value(query.ulValueLen);
    query.pValue = value.data();
    if (call.Raw(&CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &query, CK_ULONG{1}) !=
        CKR_OK) {
        return {};
    }
    value.resize(query.ulValueLen);
    return value;
}

} // namespace

ReadOnlyModule::~ReadOnlyModule() {
    Close();
}

void ReadOnlyModule::Close() {
    if (functions_ != nullptr && finalize_) {
        Call(functions_).Raw(&CK_FUNCTION_LIST::C_Finalize, static_cast<CK_VOID_PTR>(nullptr));
    }
    if (handle_ != nullptr) {
        plat::UnloadModule(handle_);
    }
    handle_ = nullptr;
    functions_ = nullptr;
    finalize_ = false;
}

Status ReadOnlyModule::Open(const char* path) {
    Close();
    handle_ = plat::LoadModule(path);
    if (handle_ == nullptr) {
        return Status::Fail(Fault::NoModule, "load");
    }
    auto getList =
        reinterpret_cast<CK_C_GetFunctionList>(plat::FindSymbol(handle_, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getList == nullptr || getList(&list) != CKR_OK || list == nullptr) {
        Close();
        return Status::Fail(Fault::BrokenModule, "C_GetFunctionList");
    }
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    // A list without C_Initialize reads as the module refusing to start, like any refusal.
    const P11_RV rv = p11detail::Rv32(
        Call(list).Raw(&CK_FUNCTION_LIST::C_Initialize, static_cast<CK_VOID_PTR>(&args)));
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        Close();
        return Status::FromRv(rv, "C_Initialize");
    }
    functions_ = list;
    finalize_ = rv == CKR_OK;
    return Status::Done();
}

Status ReadOnlyModule::Slots(std::vector<SlotFacts>& out) const {
    out.clear();
    const Call call(functions_);
    // A reader plugged in between the two calls makes the list longer: ask again.
    std::vector<CK_SLOT_ID> ids;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    for (int round = 0; round < 4 && rv == CKR_BUFFER_TOO_SMALL; ++round) {
        CK_ULONG count = 0;
        rv = call.Raw(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL{CK_FALSE},
                      static_cast<CK_SLOT_ID_PTR>(nullptr), &count);
        if (rv != CKR_OK) {
            break;
        }
        ids.resize(count);
        rv = count == 0 ? CKR_OK
                        : call.Raw(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL{CK_FALSE}, ids.data(),
                                   &count);
        if (rv == CKR_OK) {
            ids.resize(count);
        }
    }
    if (rv != CKR_OK) {
        return Status::FromRv(p11detail::Rv32(rv), "C_GetSlotList");
    }
    for (CK_SLOT_ID id : ids) {
        SlotFacts facts;
        facts.id = id;
        if (call.Raw(&CK_FUNCTION_LIST::C_GetSlotInfo, id, &facts.slot) != CKR_OK) {
            continue; // a reader unplugged meanwhile
        }
        facts.tokenPresent = (facts.slot.flags & CKF_TOKEN_PRESENT) != 0 &&
                             call.Raw(&CK_FUNCTION_LIST::C_GetTokenInfo, id, &facts.token) ==
                                 CKR_OK; // else pulled meanwhile
        out.push_back(facts);
    }
    return Status::Done();
}

Status ReadOnlyModule::Certificates(CK_SLOT_ID slot, std::vector<CertificateFacts>& out) const {
    out.clear();
    const Call call(functions_);
    CK_SESSION_HANDLE session = 0;
    CK_RV rv = call.Raw(&CK_FUNCTION_LIST::C_OpenSession, slot, CK_FLAGS{CKF_SERIAL_SESSION},
                        static_cast<CK_VOID_PTR>(nullptr), CK_NOTIFY{nullptr}, &session);
    if (rv != CKR_OK) {
        return Status::FromRv(p11detail::Rv32(rv), "C_OpenSession");
    }
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE filter = {CKA_CLASS, &cls, sizeof cls};
    rv = call.Raw(&CK_FUNCTION_LIST::C_FindObjectsInit, session, &filter, CK_ULONG{1});
    std::vector<CK_OBJECT_HANDLE> objects;
    while (rv == CKR_OK) {
        CK_OBJECT_HANDLE batch[16];
        CK_ULONG count = 0;
        rv = call.Raw(&CK_FUNCTION_LIST::C_FindObjects, session, batch, CK_ULONG{16}, &count);
        if (rv != CKR_OK || count == 0) {
            break;
        }
        objects.insert(objects.end(), batch, batch + count);
        if (objects.size() > 4096) {
            break; // no card holds that many; a module that never ends its list is not followed
        }
    }
    call.Raw(&CK_FUNCTION_LIST::C_FindObjectsFinal, session);
    if (rv == CKR_OK) {
        for (CK_OBJECT_HANDLE object : objects) {
            CertificateFacts cert;
            cert.der = Attribute(call, session, object, CKA_VALUE);
            if (cert.der.empty()) {
                continue;
            }
            cert.id = Attribute(call, session, object, CKA_ID);
            cert.label = Attribute(call, session, object, CKA_LABEL);
            out.push_back(std::move(cert));
        }
    }
    call.Raw(&CK_FUNCTION_LIST::C_CloseSession, session);
    return Status::FromRv(p11detail::Rv32(rv), "C_FindObjects");
}

} // namespace p11view
