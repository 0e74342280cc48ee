// A read-only view of the PKCS#11 module the agent uses, for discovery: the slot list in the
// module's order, each slot's description, its token's label, serial number and flags, and the
// token's public certificates. It opens read-only sessions only and never logs in: logging in
// and signing stay with the agent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace peer {

struct slot_view {
    std::uint64_t id = 0;    // the module's slot id
    std::string description; // the module's bytes, trailing blanks removed
    std::string slot_manufacturer;
    bool token_present = false;
    std::string label;        // empty without a token
    std::string serial;       // empty without a token
    std::string manufacturer; // the token's; empty without a token
    std::string model;        // the token's; empty without a token
    std::uint64_t token_flags = 0;
};

// The module the agent will load: `module_path` when given, else TESSIVO_PKCS11_MODULE (Linux),
// else the card vendor's module, looked for first in the agent's own folder as the agent's
// loader does on Windows.
std::string agent_module_path(const std::string& module_path, const std::string& agent_path);

// A certificate object that can be read without logging in.
struct public_certificate {
    std::vector<std::uint8_t> id; // CKA_ID
    std::string label;            // CKA_LABEL
    std::vector<std::uint8_t> der;
};

class module_view {
public:
    module_view() = default;
    ~module_view();
    module_view(const module_view&) = delete;
    module_view& operator=(const module_view&) = delete;

    // Loads and initialises the module. False with `error` naming the module and the cause.
    bool open(const std::string& path, std::string& error);
    // Every slot with or without a token, in the module's order. False with `error` set.
    bool slots(std::vector<slot_view>& out, std::string& error) const;
    // The certificates of the token in slot `slot_id` that a session without login shows, in
    // the module's order. False with `error` set (no token, or the module refused).
    bool public_certificates(std::uint64_t slot_id, std::vector<public_certificate>& out,
                             std::string& error) const;

private:
    void close();

    plat::ModuleHandle handle_ = nullptr;
    void* functions_ = nullptr; // CK_FUNCTION_LIST_PTR, kept out of this header
    bool finalize_ = false;
    std::string path_;
};

// The slots of the module at `path` as they are now: the module is loaded for this one reading,
// so a card inserted or pulled since an earlier look is seen. False with `error` set.
bool read_slots(const std::string& path, std::vector<slot_view>& out, std::string& error);
// The slot whose description reads `reader` (UTF-8), read now; false when no reader has it.
bool read_reader(const std::string& path, const std::string& reader, slot_view& out,
                 std::string& error);

// The user PIN's state as the token flags tell it, worst first.
enum class pin_state { locked, final_try, count_low, ok };
pin_state pin_state_of(std::uint64_t token_flags);
// A short English sentence for the user; empty for `ok`.
std::string pin_state_text(pin_state state);
// The reader has its own PIN pad: the PIN is typed there, not given to the module.
bool has_pin_pad(std::uint64_t token_flags);

// A module's text as UTF-8 (PKCS#11 texts are UTF-8; anything else is shown as the ANSI code
// page reads it).
std::string module_text_to_utf8(const std::string& bytes);
// A slot description as the agent sees it: its bytes read in the ANSI code page.
std::u16string agent_reader_text(const std::string& description);

} // namespace peer
