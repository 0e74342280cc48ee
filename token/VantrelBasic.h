// What the library's units share: the typed status their helpers report, the one mapping of it
// onto the result codes the exported functions return, and the padded-text copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "status/Status.h"
#include "vantrel.h"

namespace vantrel {

using tessivo::Fault;
using tessivo::Status;

// The code family an exported function answers in. A PKCS#11 code travels under its family's
// prefix; the library's own failures take the family's named codes.
enum class Family : std::uint8_t {
    Basic,   // the library frame, slots, login, keys and certificates on the token
    BareIds, // GetKeyID and GetCertID: a short buffer is the bare PKCS#11 value, without a family
    Sign,
    Verify,
    Encrypt,
    Decrypt,
    Cert,      // certificate fields and their check
    Extension, // certificate extensions and the directory attributes in one
    Pkcs7,     // certificates out of a PKCS#7 bundle
};

// The one table from what failed to the code an exported function returns.
VR_RESULT ToResult(const Status& status, Family family = Family::Basic);

// A blank-padded field of `width` bytes as a zero-terminated text (trailing blanks and zeros cut).
// An all-blank field succeeds and leaves buf and len untouched; a capacity below the text's
// length + 1 sets len to the length and fails as a buffer too small.
Status CopyPadded(const unsigned char* field, std::size_t width, char* buf, std::uint32_t* len);

} // namespace vantrel
