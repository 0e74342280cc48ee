// The result codes that travel in reply records and that peers act on.
#pragma once

#include <cstdint>

namespace tessivo {

// Status of a card record: no card in the selected reader.
inline constexpr std::uint32_t kStatusNoCard = 1;
// Status of a login record whose login stands but whose certificate has expired
// (CKR_PIN_EXPIRED's value).
inline constexpr std::uint32_t kStatusExpired = 0xA3;
// Status of a login record when no reader was selected before the login.
inline constexpr std::uint32_t kStatusNoReader = 0xFFFFFFFFu;
// The low 16 bits of a failed login's status: the card's PKCS#11 answer.
inline constexpr std::uint32_t kPinIncorrect = 0xA0;    // CKR_PIN_INCORRECT
inline constexpr std::uint32_t kPinInvalid = 0xA1;      // CKR_PIN_INVALID
inline constexpr std::uint32_t kPinLenRange = 0xA2;     // CKR_PIN_LEN_RANGE
inline constexpr std::uint32_t kPinExpired = 0xA3;      // CKR_PIN_EXPIRED
inline constexpr std::uint32_t kPinLocked = 0xA4;       // CKR_PIN_LOCKED
inline constexpr std::uint32_t kTokenNotPresent = 0xE0; // CKR_TOKEN_NOT_PRESENT
// A PIN that does not fit the library's buffer: the library's basic family with
// CKR_PIN_LEN_RANGE, as the library itself reports a PIN the card finds too long.
inline constexpr std::uint32_t kPinLengthRange = 0xDA0000A2u;

} // namespace tessivo
