// A read-only view of the PKCS#11 module the agent uses, for discovery: the slot list in the
// module's order, each slot's description, its token's label, serial number and flags, and the
// token's public certificates. It opens read-only sessions only and never logs in: logging in
// and signing stay with the agent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"
#include "status/Status.h"

namespace p11view {
class ReadOnlyModule;
}

namespace peer {

struct SlotView {
    std::uint64_t id = 0;    // the module's slot id
    std::string description; // the module's bytes, trailing blanks removed
    std::string slotManufacturer;
    bool tokenPresent = false;
    std::string label;        // empty without a token
    std::string serial;       // empty without a token
    std::string manufacturer; // the token's; empty without a token
    std::string model;        // the token's; empty without a token
    std::uint64_t tokenFlags = 0;
};

// The one choice of the module the agent will load and the peer views: `modulePath` when given
// (--module, a URI's module), else the agent's own choice (plat::ChosenPkcs11Module: the
// environment's TESSIVO_PKCS11_MODULE, on Windows then the installation's registry value); on
// Linux then the configuration file's module, the card vendor's module when the system finds it,
// else p11-kit's proxy (every module registered with p11-kit). On Windows a bare file name is
// looked for first in the agent's own folder, as the agent's loader does. The peer hands the
// choice to the agents it starts (TESSIVO_PKCS11_MODULE).
std::string AgentModulePath(const std::string& modulePath, const std::string& agentPath);

// A certificate object that can be read without logging in.
struct PublicCertificate {
    std::vector<std::uint8_t> id; // CKA_ID
    std::string label;            // CKA_LABEL
    std::vector<std::uint8_t> der;
};

class ModuleView {
public:
    ModuleView();
    ~ModuleView();
    ModuleView(const ModuleView&) = delete;
    ModuleView& operator=(const ModuleView&) = delete;

    // Every step answers what failed (ModuleViewError makes it a PeerError) and sets `error`,
    // a sentence naming the module and the cause.
    // Loads and initialises the module; any failure here is NoModule (the module's code kept).
    tessivo::Status Open(const std::string& path, std::string& error);
    // Every slot with or without a token, in the module's order.
    tessivo::Status Slots(std::vector<SlotView>& out, std::string& error) const;
    // The certificates of the token in slot `slotId` that a session without login shows, in
    // the module's order (no token, or the module refused: a failure).
    tessivo::Status PublicCertificates(std::uint64_t slotId, std::vector<PublicCertificate>& out,
                                       std::string& error) const;

private:
    std::unique_ptr<p11view::ReadOnlyModule> module_; // the module's calls, all in the binding
    std::string path_;
};

// The slots of the module at `path` as they are now: the module is loaded for this one reading,
// so a card inserted or pulled since an earlier look is seen.
tessivo::Status ReadSlots(const std::string& path, std::vector<SlotView>& out, std::string& error);
// The slot whose description reads `reader` (UTF-8), read now; false when no reader has it.
bool ReadReader(const std::string& path, const std::string& reader, SlotView& out,
                std::string& error);

// The user PIN's state as the token flags tell it, worst first.
enum class PinState { Locked, FinalTry, CountLow, Ok };
PinState PinStateOf(std::uint64_t tokenFlags);
// A short English sentence for the user; empty for `ok`.
std::string PinStateText(PinState state);
// The reader has its own PIN pad: the PIN is typed there, not given to the module.
bool HasPinPad(std::uint64_t tokenFlags);

// A module's text as UTF-8 (PKCS#11 texts are UTF-8; anything else is shown as the ANSI code
// page reads it).
std::string ModuleTextToUtf8(const std::string& bytes);
// A slot description as the agent sees it: its bytes read in the ANSI code page.
std::u16string AgentReaderText(const std::string& description);

} // namespace peer
