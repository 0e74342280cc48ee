#include "peer/ModuleView.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cryptoki.h"
#include "platform/codepage.h"
#include "platform/text.h"
#include "platform/module.h"

namespace peer {

namespace {

constexpr const char* kVendorModule = "TorvexPKCS11.dll";

CK_FUNCTION_LIST_PTR Table(void* functions) {
    return static_cast<CK_FUNCTION_LIST_PTR>(functions);
}

std::string Trimmed(const unsigned char* field, std::size_t width) {
    std::size_t n = width;
    while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == '\0')) {
        --n;
    }
    return std::string(reinterpret_cast<const char*>(field), n);
}

std::string HexRv(CK_RV rv) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(rv));
    return text;
}

} // namespace

std::string AgentModulePath(const std::string& modulePath, const std::string& agentPath) {
    if (!modulePath.empty()) {
        return modulePath;
    }
#if !defined(_WIN32)
    const char* chosen = std::getenv("TESSIVO_PKCS11_MODULE");
    if (chosen != nullptr && chosen[0] != '\0') {
        return chosen;
    }
    (void)agentPath;
#else
    std::error_code ignored;
    const std::filesystem::path beside =
        std::filesystem::path(agentPath).parent_path() / kVendorModule;
    if (!agentPath.empty() && std::filesystem::exists(beside, ignored)) {
        return beside.string();
    }
#endif
    return kVendorModule;
}

ModuleView::~ModuleView() {
    Close();
}

void ModuleView::Close() {
    if (functions_ != nullptr && finalize_) {
        Table(functions_)->C_Finalize(nullptr);
    }
    if (handle_ != nullptr) {
        plat::UnloadModule(handle_);
    }
    handle_ = nullptr;
    functions_ = nullptr;
    finalize_ = false;
}

bool ModuleView::Open(const std::string& path, std::string& error) {
    Close();
    path_ = path;
    handle_ = plat::LoadModule(path.c_str());
    if (handle_ == nullptr) {
        error = "cannot load the PKCS#11 module " + path;
        return false;
    }
    auto getList =
        reinterpret_cast<CK_C_GetFunctionList>(plat::FindSymbol(handle_, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getList == nullptr || getList(&list) != CKR_OK || list == nullptr) {
        Close();
        error = path + " is not a PKCS#11 module (no C_GetFunctionList)";
        return false;
    }
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    const CK_RV rv = list->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        Close();
        error = "the PKCS#11 module " + path + " refused to start (" + HexRv(rv) + ")";
        return false;
    }
    functions_ = list;
    finalize_ = rv == CKR_OK;
    return true;
}

bool ModuleView::Slots(std::vector<SlotView>& out, std::string& error) const {
    out.clear();
    CK_FUNCTION_LIST_PTR f = Table(functions_);
    if (f == nullptr) {
        error = "no PKCS#11 module is open";
        return false;
    }
    // A reader plugged in between the two calls makes the list longer: ask again.
    std::vector<CK_SLOT_ID> ids;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    for (int round = 0; round < 4 && rv == CKR_BUFFER_TOO_SMALL; ++round) {
        CK_ULONG count = 0;
        rv = f->C_GetSlotList(CK_FALSE, nullptr, &count);
        if (rv != CKR_OK) {
            break;
        }
        ids.resize(count);
        rv = count == 0 ? CKR_OK : f->C_GetSlotList(CK_FALSE, ids.data(), &count);
        if (rv == CKR_OK) {
            ids.resize(count);
        }
    }
    if (rv != CKR_OK) {
        error = "the PKCS#11 module " + path_ + " cannot list its slots (" + HexRv(rv) + ")";
        return false;
    }
    for (CK_SLOT_ID id : ids) {
        CK_SLOT_INFO slot;
        std::memset(&slot, 0, sizeof slot);
        if (f->C_GetSlotInfo(id, &slot) != CKR_OK) {
            continue; // a reader unplugged meanwhile
        }
        SlotView view;
        view.id = id;
        view.description = Trimmed(slot.slotDescription, sizeof slot.slotDescription);
        view.slotManufacturer = Trimmed(slot.manufacturerID, sizeof slot.manufacturerID);
        view.tokenPresent = (slot.flags & CKF_TOKEN_PRESENT) != 0;
        if (view.tokenPresent) {
            CK_TOKEN_INFO token;
            std::memset(&token, 0, sizeof token);
            if (f->C_GetTokenInfo(id, &token) == CKR_OK) {
                view.label = Trimmed(token.label, sizeof token.label);
                view.serial = Trimmed(token.serialNumber, sizeof token.serialNumber);
                view.manufacturer = Trimmed(token.manufacturerID, sizeof token.manufacturerID);
                view.model = Trimmed(token.model, sizeof token.model);
                view.tokenFlags = token.flags;
            } else {
                view.tokenPresent = false; // pulled meanwhile
            }
        }
        out.push_back(std::move(view));
    }
    return true;
}

bool ReadSlots(const std::string& path, std::vector<SlotView>& out, std::string& error) {
    ModuleView view;
    return view.Open(path, error) && view.Slots(out, error);
}

bool ReadReader(const std::string& path, const std::string& reader, SlotView& out,
                std::string& error) {
    std::vector<SlotView> slots;
    if (!ReadSlots(path, slots, error)) {
        return false;
    }
    for (SlotView& slot : slots) {
        if (ModuleTextToUtf8(slot.description) == reader) {
            out = std::move(slot);
            return true;
        }
    }
    error = "no such reader: " + reader;
    return false;
}

PinState PinStateOf(std::uint64_t tokenFlags) {
    if ((tokenFlags & CKF_USER_PIN_LOCKED) != 0) {
        return PinState::Locked;
    }
    if ((tokenFlags & CKF_USER_PIN_FINAL_TRY) != 0) {
        return PinState::FinalTry;
    }
    if ((tokenFlags & CKF_USER_PIN_COUNT_LOW) != 0) {
        return PinState::CountLow;
    }
    return PinState::Ok;
}

std::string PinStateText(PinState state) {
    switch (state) {
    case PinState::Locked:
        return "the PIN is locked: unblock it with the PUK";
    case PinState::FinalTry:
        return "one try left before the PIN locks";
    case PinState::CountLow:
        return "a wrong PIN has been entered since the last login";
    case PinState::Ok:
        break;
    }
    return {};
}

bool HasPinPad(std::uint64_t tokenFlags) {
    return (tokenFlags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
}

namespace {

// A read-only session, closed when it goes out of scope.
class ReadOnlySession {
public:
    ReadOnlySession(CK_FUNCTION_LIST_PTR f, CK_SLOT_ID slot) : f_(f) {
        rv_ = f_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_);
    }
    ~ReadOnlySession() {
        if (rv_ == CKR_OK) {
            f_->C_CloseSession(handle_);
        }
    }
    ReadOnlySession(const ReadOnlySession&) = delete;
    ReadOnlySession& operator=(const ReadOnlySession&) = delete;
    CK_RV Rv() const { return rv_; }
    CK_SESSION_HANDLE Handle() const { return handle_; }

private:
    CK_FUNCTION_LIST_PTR f_;
    CK_SESSION_HANDLE handle_ = 0;
    CK_RV rv_ = CKR_GENERAL_ERROR;
};

// An attribute's bytes; empty when the object does not have it or shows it only after a login.
std::vector<std::uint8_t> Attribute(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE session,
                                    CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query = {type, nullptr, 0};
    if (f->C_GetAttributeValue(session, object, &query, 1) != CKR_OK ||
        query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen == 0 ||
        query.ulValueLen > 1024 * 1024) {
        return {};
    }
    std::vector<std::uint8_t> value(query.ulValueLen);
    query.pValue = value.data();
    if (f->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) {
        return {};
    }
    value.resize(query.ulValueLen);
    return value;
}

} // namespace

bool ModuleView::PublicCertificates(std::uint64_t slotId, std::vector<PublicCertificate>& out,
                                    std::string& error) const {
    out.clear();
    CK_FUNCTION_LIST_PTR f = Table(functions_);
    if (f == nullptr) {
        error = "no PKCS#11 module is open";
        return false;
    }
    ReadOnlySession session(f, static_cast<CK_SLOT_ID>(slotId));
    if (session.Rv() != CKR_OK) {
        error = "the PKCS#11 module " + path_ + " opens no session on the token (" +
                HexRv(session.Rv()) + ")";
        return false;
    }
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE filter = {CKA_CLASS, &cls, sizeof cls};
    CK_RV rv = f->C_FindObjectsInit(session.Handle(), &filter, 1);
    std::vector<CK_OBJECT_HANDLE> objects;
    while (rv == CKR_OK) {
        CK_OBJECT_HANDLE batch[16];
        CK_ULONG count = 0;
        rv = f->C_FindObjects(session.Handle(), batch, 16, &count);
        if (rv != CKR_OK || count == 0) {
            break;
        }
        objects.insert(objects.end(), batch, batch + count);
        if (objects.size() > 4096) {
            break; // no card holds that many; a module that never ends its list is not followed
        }
    }
    f->C_FindObjectsFinal(session.Handle());
    if (rv != CKR_OK) {
        error = "the PKCS#11 module " + path_ + " cannot list the token's certificates (" +
                HexRv(rv) + ")";
        return false;
    }
    for (CK_OBJECT_HANDLE object : objects) {
        PublicCertificate cert;
        cert.der = Attribute(f, session.Handle(), object, CKA_VALUE);
        if (cert.der.empty()) {
            continue;
        }
        cert.id = Attribute(f, session.Handle(), object, CKA_ID);
        const std::vector<std::uint8_t> label = Attribute(f, session.Handle(), object, CKA_LABEL);
        cert.label.assign(label.begin(), label.end());
        out.push_back(std::move(cert));
    }
    return true;
}

std::string ModuleTextToUtf8(const std::string& bytes) {
    const std::u16string wide = plat::WidenBytes(plat::kCpUtf8, bytes, plat::kMbErrInvalidChars);
    return !wide.empty() || bytes.empty()
               ? plat::Utf16ToUtf8(wide)
               : plat::Utf16ToUtf8(plat::WidenBytes(plat::kCpAcp, bytes, 0));
}

std::u16string AgentReaderText(const std::string& description) {
    // The agent reads the description as a C string.
    return plat::WidenBytes(plat::kCpAcp, description.substr(0, description.find('\0')), 0);
}

} // namespace peer
