#include "peer/ModuleView.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cryptoki.h"
#include "platform/codepage.h"
#include "platform/module.h"

namespace peer {

namespace {

constexpr const char* kVendorModule = "TorvexPKCS11.dll";

CK_FUNCTION_LIST_PTR table(void* functions) {
    return static_cast<CK_FUNCTION_LIST_PTR>(functions);
}

std::string trimmed(const unsigned char* field, std::size_t width) {
    std::size_t n = width;
    while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == '\0')) {
        --n;
    }
    return std::string(reinterpret_cast<const char*>(field), n);
}

std::string hex_rv(CK_RV rv) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(rv));
    return text;
}

std::u16string widen(unsigned int code_page, const std::string& bytes, std::uint32_t flags) {
    if (bytes.empty()) {
        return {};
    }
    const int units = plat::MultiByteToWide(code_page, flags, bytes.data(),
                                            static_cast<int>(bytes.size()), nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    plat::MultiByteToWide(code_page, flags, bytes.data(), static_cast<int>(bytes.size()),
                          wide.data(), units);
    return wide;
}

std::string narrow_utf8(const std::u16string& wide) {
    if (wide.empty()) {
        return {};
    }
    const int bytes = plat::WideToMultiByte(plat::kCpUtf8, 0, wide.data(),
                                            static_cast<int>(wide.size()), nullptr, 0);
    if (bytes <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(bytes), '\0');
    plat::WideToMultiByte(plat::kCpUtf8, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                          bytes);
    return out;
}

} // namespace

std::string agent_module_path(const std::string& module_path, const std::string& agent_path) {
    if (!module_path.empty()) {
        return module_path;
    }
#if !defined(_WIN32)
    const char* chosen = std::getenv("TESSIVO_PKCS11_MODULE");
    if (chosen != nullptr && chosen[0] != '\0') {
        return chosen;
    }
    (void)agent_path;
#else
    std::error_code ignored;
    const std::filesystem::path beside =
        std::filesystem::path(agent_path).parent_path() / kVendorModule;
    if (!agent_path.empty() && std::filesystem::exists(beside, ignored)) {
        return beside.string();
    }
#endif
    return kVendorModule;
}

module_view::~module_view() {
    close();
}

void module_view::close() {
    if (functions_ != nullptr && finalize_) {
        table(functions_)->C_Finalize(nullptr);
    }
    if (handle_ != nullptr) {
        plat::UnloadModule(handle_);
    }
    handle_ = nullptr;
    functions_ = nullptr;
    finalize_ = false;
}

bool module_view::open(const std::string& path, std::string& error) {
    close();
    path_ = path;
    handle_ = plat::LoadModule(path.c_str());
    if (handle_ == nullptr) {
        error = "cannot load the PKCS#11 module " + path;
        return false;
    }
    auto get_list =
        reinterpret_cast<CK_C_GetFunctionList>(plat::FindSymbol(handle_, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (get_list == nullptr || get_list(&list) != CKR_OK || list == nullptr) {
        close();
        error = path + " is not a PKCS#11 module (no C_GetFunctionList)";
        return false;
    }
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    const CK_RV rv = list->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        close();
        error = "the PKCS#11 module " + path + " refused to start (" + hex_rv(rv) + ")";
        return false;
    }
    functions_ = list;
    finalize_ = rv == CKR_OK;
    return true;
}

bool module_view::slots(std::vector<slot_view>& out, std::string& error) const {
    out.clear();
    CK_FUNCTION_LIST_PTR f = table(functions_);
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
        error = "the PKCS#11 module " + path_ + " cannot list its slots (" + hex_rv(rv) + ")";
        return false;
    }
    for (CK_SLOT_ID id : ids) {
        CK_SLOT_INFO slot;
        std::memset(&slot, 0, sizeof slot);
        if (f->C_GetSlotInfo(id, &slot) != CKR_OK) {
            continue; // a reader unplugged meanwhile
        }
        slot_view view;
        view.id = id;
        view.description = trimmed(slot.slotDescription, sizeof slot.slotDescription);
        view.slot_manufacturer = trimmed(slot.manufacturerID, sizeof slot.manufacturerID);
        view.token_present = (slot.flags & CKF_TOKEN_PRESENT) != 0;
        if (view.token_present) {
            CK_TOKEN_INFO token;
            std::memset(&token, 0, sizeof token);
            if (f->C_GetTokenInfo(id, &token) == CKR_OK) {
                view.label = trimmed(token.label, sizeof token.label);
                view.serial = trimmed(token.serialNumber, sizeof token.serialNumber);
                view.manufacturer = trimmed(token.manufacturerID, sizeof token.manufacturerID);
                view.model = trimmed(token.model, sizeof token.model);
                view.token_flags = token.flags;
            } else {
                view.token_present = false; // pulled meanwhile
            }
        }
        out.push_back(std::move(view));
    }
    return true;
}

bool read_slots(const std::string& path, std::vector<slot_view>& out, std::string& error) {
    module_view view;
    return view.open(path, error) && view.slots(out, error);
}

bool read_reader(const std::string& path, const std::string& reader, slot_view& out,
                 std::string& error) {
    std::vector<slot_view> slots;
    if (!read_slots(path, slots, error)) {
        return false;
    }
    for (slot_view& slot : slots) {
        if (module_text_to_utf8(slot.description) == reader) {
            out = std::move(slot);
            return true;
        }
    }
    error = "no such reader: " + reader;
    return false;
}

pin_state pin_state_of(std::uint64_t token_flags) {
    if ((token_flags & CKF_USER_PIN_LOCKED) != 0) {
        return pin_state::locked;
    }
    if ((token_flags & CKF_USER_PIN_FINAL_TRY) != 0) {
        return pin_state::final_try;
    }
    if ((token_flags & CKF_USER_PIN_COUNT_LOW) != 0) {
        return pin_state::count_low;
    }
    return pin_state::ok;
}

std::string pin_state_text(pin_state state) {
    switch (state) {
    case pin_state::locked:
        return "the PIN is locked: unblock it with the PUK";
    case pin_state::final_try:
        return "one try left before the PIN locks";
    case pin_state::count_low:
        return "a wrong PIN has been entered since the last login";
    case pin_state::ok:
        break;
    }
    return {};
}

bool has_pin_pad(std::uint64_t token_flags) {
    return (token_flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
}

namespace {

// A read-only session, closed when it goes out of scope.
class read_only_session {
public:
    read_only_session(CK_FUNCTION_LIST_PTR f, CK_SLOT_ID slot) : f_(f) {
        rv_ = f_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_);
    }
    ~read_only_session() {
        if (rv_ == CKR_OK) {
            f_->C_CloseSession(handle_);
        }
    }
    read_only_session(const read_only_session&) = delete;
    read_only_session& operator=(const read_only_session&) = delete;
    CK_RV rv() const { return rv_; }
    CK_SESSION_HANDLE handle() const { return handle_; }

private:
    CK_FUNCTION_LIST_PTR f_;
    CK_SESSION_HANDLE handle_ = 0;
    CK_RV rv_ = CKR_GENERAL_ERROR;
};

// An attribute's bytes; empty when the object does not have it or shows it only after a login.
std::vector<std::uint8_t> attribute(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE session,
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

bool module_view::public_certificates(std::uint64_t slot_id, std::vector<public_certificate>& out,
                                      std::string& error) const {
    out.clear();
    CK_FUNCTION_LIST_PTR f = table(functions_);
    if (f == nullptr) {
        error = "no PKCS#11 module is open";
        return false;
    }
    read_only_session session(f, static_cast<CK_SLOT_ID>(slot_id));
    if (session.rv() != CKR_OK) {
        error = "the PKCS#11 module " + path_ + " opens no session on the token (" +
                hex_rv(session.rv()) + ")";
        return false;
    }
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE filter = {CKA_CLASS, &cls, sizeof cls};
    CK_RV rv = f->C_FindObjectsInit(session.handle(), &filter, 1);
    std::vector<CK_OBJECT_HANDLE> objects;
    while (rv == CKR_OK) {
        CK_OBJECT_HANDLE batch[16];
        CK_ULONG count = 0;
        rv = f->C_FindObjects(session.handle(), batch, 16, &count);
        if (rv != CKR_OK || count == 0) {
            break;
        }
        objects.insert(objects.end(), batch, batch + count);
        if (objects.size() > 4096) {
            break; // no card holds that many; a module that never ends its list is not followed
        }
    }
    f->C_FindObjectsFinal(session.handle());
    if (rv != CKR_OK) {
        error = "the PKCS#11 module " + path_ + " cannot list the token's certificates (" +
                hex_rv(rv) + ")";
        return false;
    }
    for (CK_OBJECT_HANDLE object : objects) {
        public_certificate cert;
        cert.der = attribute(f, session.handle(), object, CKA_VALUE);
        if (cert.der.empty()) {
            continue;
        }
        cert.id = attribute(f, session.handle(), object, CKA_ID);
        const std::vector<std::uint8_t> label = attribute(f, session.handle(), object, CKA_LABEL);
        cert.label.assign(label.begin(), label.end());
        out.push_back(std::move(cert));
    }
    return true;
}

std::string module_text_to_utf8(const std::string& bytes) {
    const std::u16string wide = widen(plat::kCpUtf8, bytes, plat::kMbErrInvalidChars);
    return !wide.empty() || bytes.empty() ? narrow_utf8(wide)
                                          : narrow_utf8(widen(plat::kCpAcp, bytes, 0));
}

std::u16string agent_reader_text(const std::string& description) {
    // The agent reads the description as a C string.
    return widen(plat::kCpAcp, description.substr(0, description.find('\0')), 0);
}

} // namespace peer
