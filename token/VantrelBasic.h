// What the library's units share: the pass-through rule and the padded-text copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel.h"

namespace vantrel {

// A non-zero binding value travels in the BASIC family.
inline VR_RESULT Basic(std::uint32_t rv) {
    return rv == 0 ? OK : (BASIC_ERRORS | rv);
}

// A blank-padded field of `width` bytes as a zero-terminated text (trailing blanks and zeros cut).
// An all-blank field returns OK and leaves buf and len untouched; a capacity below the text's
// length + 1 sets len to the length and returns BASIC_BUFFER_TOO_SMALL.
VR_RESULT CopyPadded(const unsigned char* field, std::size_t width, char* buf, std::uint32_t* len);

} // namespace vantrel
