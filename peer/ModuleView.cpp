#include "peer/ModuleView.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cryptoki.h"
#include "p11/p11_view.h"
#include "peer/PeerConfig.h"
#include "peer/Translate.h"
#include "platform/codepage.h"
#include "platform/text.h"
#include "platform/module.h"
#include "platform/module_choice.h"

namespace peer {

namespace {

#if !defined(_WIN32)
constexpr const char* kP11KitProxy = "p11-kit-proxy.so";
#endif

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
    const std::string chosen = plat::ChosenPkcs11Module();
#if defined(_WIN32)
    // A bare file name is found in the agent's own folder first, as its loader looks there.
    std::error_code ignored;
    const std::filesystem::path beside = std::filesystem::path(agentPath).parent_path() / chosen;
    if (!agentPath.empty() && !std::filesystem::path(chosen).has_parent_path() &&
        std::filesystem::exists(beside, ignored)) {
        return beside.string();
    }
    return chosen;
#else
    (void)agentPath;
    if (chosen != plat::kDefaultPkcs11Module) {
        return chosen; // named in the environment
    }
    const PeerConfig config = ReadPeerConfig();
    if (!config.module.empty()) {
        return config.module;
    }
    // The card vendor's module where the system has it, else every module registered with
    // p11-kit through its proxy, as other PKCS#11 tools do.
    if (plat::ModuleHandle vendor = plat::LoadModule(plat::kDefaultPkcs11Module)) {
        plat::UnloadModule(vendor);
        return chosen;
    }
#if defined(TESSIVO_P11KIT_PROXY)
    std::error_code ignored;
    if (std::filesystem::exists(TESSIVO_P11KIT_PROXY, ignored)) {
        return TESSIVO_P11KIT_PROXY;
    }
#endif
    if (plat::ModuleHandle proxy = plat::LoadModule(kP11KitProxy)) {
        plat::UnloadModule(proxy);
        return kP11KitProxy;
    }
    return chosen;
#endif
}

ModuleView::ModuleView() = default;
ModuleView::~ModuleView() = default;

tessivo::Status ModuleView::Open(const std::string& path, std::string& error) {
    path_ = path;
    module_ = std::make_unique<p11view::ReadOnlyModule>();
    const tessivo::Status status = module_->Open(path.c_str());
    switch (status.fault) {
    case tessivo::Fault::None:
        return status;
    case tessivo::Fault::NoModule:
        error = Tr("cannot load the PKCS#11 module %s: %s", path, plat::LastLoadError());
        break;
    case tessivo::Fault::BrokenModule:
        error = Tr("%s is not a PKCS#11 module (no C_GetFunctionList)", path);
        break;
    default:
        error = Tr("the PKCS#11 module %s refused to start (%s)", path, HexRv(status.p11));
        break;
    }
    module_.reset();
    // Whatever stopped it, there is no module to view.
    return tessivo::Status::Fail(tessivo::Fault::NoModule, status.context, status.p11);
}

tessivo::Status ModuleView::Slots(std::vector<SlotView>& out, std::string& error) const {
    out.clear();
    if (!module_) {
        error = Tr("no PKCS#11 module is open");
        return tessivo::Status::Fail(tessivo::Fault::NoModule, "slots");
    }
    std::vector<p11view::SlotFacts> slots;
    const tessivo::Status status = module_->Slots(slots);
    if (!status.Ok()) {
        error = Tr("the PKCS#11 module %s cannot list its slots (%s)", path_, HexRv(status.p11));
        return status;
    }
    for (const p11view::SlotFacts& facts : slots) {
        SlotView view;
        view.id = facts.id;
        view.description = Trimmed(facts.slot.slotDescription, sizeof facts.slot.slotDescription);
        view.slotManufacturer =
            Trimmed(facts.slot.manufacturerID, sizeof facts.slot.manufacturerID);
        view.tokenPresent = facts.tokenPresent;
        if (view.tokenPresent) {
            const CK_TOKEN_INFO& token = facts.token;
            view.label = Trimmed(token.label, sizeof token.label);
            view.serial = Trimmed(token.serialNumber, sizeof token.serialNumber);
            view.manufacturer = Trimmed(token.manufacturerID, sizeof token.manufacturerID);
            view.model = Trimmed(token.model, sizeof token.model);
            view.tokenFlags = token.flags;
        }
        out.push_back(std::move(view));
    }
    return status;
}

tessivo::Status ReadSlots(const std::string& path, std::vector<SlotView>& out, std::string& error) {
    ModuleView view;
    const tessivo::Status opened = view.Open(path, error);
    return opened.Ok() ? view.Slots(out, error) : opened;
}

bool ReadReader(const std::string& path, const std::string& reader, SlotView& out,
                std::string& error) {
    std::vector<SlotView> slots;
    if (!ReadSlots(path, slots, error).Ok()) {
        return false;
    }
    for (SlotView& slot : slots) {
        if (ModuleTextToUtf8(slot.description) == reader) {
            out = std::move(slot);
            return true;
        }
    }
    error = Tr("no such reader: %s", reader);
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
        return Tr("the PIN is locked: unblock it with the PUK");
    case PinState::FinalTry:
        return Tr("one try left before the PIN locks");
    case PinState::CountLow:
        return Tr("a wrong PIN has been entered since the last login");
    case PinState::Ok:
        break;
    }
    return {};
}

bool HasPinPad(std::uint64_t tokenFlags) {
    return (tokenFlags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
}

tessivo::Status ModuleView::PublicCertificates(std::uint64_t slotId,
                                               std::vector<PublicCertificate>& out,
                                               std::string& error) const {
    out.clear();
    if (!module_) {
        error = Tr("no PKCS#11 module is open");
        return tessivo::Status::Fail(tessivo::Fault::NoModule, "certificates");
    }
    std::vector<p11view::CertificateFacts> certificates;
    const tessivo::Status status =
        module_->Certificates(static_cast<CK_SLOT_ID>(slotId), certificates);
    if (!status.Ok()) {
        error = Tr("the PKCS#11 module %s cannot list the token's certificates (%s)", path_,
                   HexRv(status.p11));
        return status;
    }
    for (p11view::CertificateFacts& facts : certificates) {
        PublicCertificate cert;
        cert.id = std::move(facts.id);
        cert.label.assign(facts.label.begin(), facts.label.end());
        cert.der = std::move(facts.der);
        out.push_back(std::move(cert));
    }
    return status;
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
