// What a token operation reports inside the agent: which step failed, Vantrel's result when the
// library gave one (the module's PKCS#11 code in its low bits when the card answered), and a
// short context. Nothing inside the agent turns it into a number: the wire edge does, with one
// table per request (ResultCodes below), so the codes peers know stay as they are.
#pragma once

#include <cstdint>

#include "vantrel.h"

enum class Failed : std::uint8_t {
    Nothing,     // the operation did its work
    NotReady,    // no library, or no reader selected
    PinTooLong,  // the PIN does not fit the library's buffer in the narrow code page
    Library,     // Vantrel refused: `code` holds its result
    NoSignature, // the library signed nothing (no key, or a length of zero)
    Unexpected,  // an exception on the way: `systemError` holds the system's last error
};

struct AgentResult {
    Failed what = Failed::Nothing;
    VR_RESULT code = OK;
    std::uint32_t systemError = 0;
    const char* context = "";

    bool Ok() const { return what == Failed::Nothing; }
    static AgentResult Done() { return {}; }
    static AgentResult Fail(Failed what, const char* context, VR_RESULT code = OK,
                            std::uint32_t systemError = 0) {
        return {what, code, systemError, context};
    }
};

// The wire edge: the 32-bit results that the requests' peers read.
// Login: 0; -1 not ready; the library's code (a PIN too long reads as CKR_PIN_LEN_RANGE); the
// system's last error after an exception.
std::uint32_t LoginResultCode(const AgentResult& result);
// Signing: 0 with a signature; the library's code when it refused; 1 for anything else.
std::uint32_t SignResultCode(const AgentResult& result);
