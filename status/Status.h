// What an operation reports inside the layers: what failed, the PKCS#11 code that goes with it
// when there is one, and a short static context naming the step. Nothing inside turns it into a
// number callers read; each edge does that with one table (Vantrel's VR_RESULT, the peer's
// PeerError), so the codes stay what they are wherever a failure is first noticed.
#pragma once

#include <cstdint>

namespace tessivo {

enum class Fault : std::uint8_t {
    None,         // the operation did its work
    Argument,     // the call itself is malformed: a missing pointer, an id that stands for nothing
    BadInput,     // the data or key given cannot serve the operation
    Refused,      // the module (or the binding in its words) refused: `p11` holds the code
    BrokenModule, // the module answered outside the standard or lacks a function
    NoModule,     // no module is loaded, or the file is not one
    NotLoggedIn,  // the operation needs the session a login opens
    AlreadyLoggedIn, // a session is open already
    NotFound,        // nothing matches what was asked for
    Index,           // an index beyond the list
    BufferTooSmall,  // the caller's buffer cannot hold the result
    Memory,          // out of memory
    Convert,         // the object cannot be made into the form asked for
    OpenSsl,         // an OpenSSL operation failed
    Unsupported,     // a mechanism or algorithm this code does not offer
    Invalid,         // the data was checked and is wrong (a signature that does not match)
};

struct Status {
    Fault fault = Fault::None;
    std::uint32_t p11 = 0;    // the PKCS#11 code (CKR_*) that goes with the failure, else 0
    const char* context = ""; // static text: the step that failed

    constexpr bool Ok() const noexcept { return fault == Fault::None; }

    static constexpr Status Done() noexcept { return {}; }
    static constexpr Status Fail(Fault fault, const char* context, std::uint32_t p11 = 0) noexcept {
        return {fault, p11, context};
    }
    // A PKCS#11 answer: success for CKR_OK, else a refusal carrying the code.
    static constexpr Status FromRv(std::uint32_t rv, const char* context) noexcept {
        return rv == 0 ? Status{} : Status{Fault::Refused, rv, context};
    }
};

} // namespace tessivo
