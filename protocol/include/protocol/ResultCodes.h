// The result codes that travel in reply records and that peers act on.
#pragma once

#include <cstdint>

namespace tessivo {

// Status of a card record: no card in the selected reader.
inline constexpr std::uint32_t kStatusNoCard = 1;
// Status of a login record whose login stands but whose certificate has expired
// (CKR_PIN_EXPIRED's value).
inline constexpr std::uint32_t kStatusExpired = 0xA3;
// The low 16 bits of a login status for a PIN the card rejected (CKR_PIN_INCORRECT).
inline constexpr std::uint32_t kPinIncorrect = 0xA0;
// A PIN that does not fit the library's buffer: the library's basic family with
// CKR_PIN_LEN_RANGE, as the library itself reports a PIN the card finds too long.
inline constexpr std::uint32_t kPinLengthRange = 0xDA0000A2u;

} // namespace tessivo
