// The payloads that travel in the channels, each with its encoder and decoder. Integers are
// little-endian; every reply frame starts with a 16-bit word giving the offset of its text.
// Decoders take what was read and never read past it: a short read gives zero fields and
// empty texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessivo {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kLogTextOffset = 4;
inline constexpr std::size_t kSignHeaderSize = 6;
inline constexpr std::size_t kCardRecordSize = 364;
inline constexpr std::size_t kLoginRecordSize = 620;
// The width of a login record's text area (the return channel's name or an error text).
inline constexpr std::size_t kRecordTextWidth = 256;
// Enough of the request channel to hold a sign header with any return channel's name.
inline constexpr std::size_t kSignHeaderReadSize = kSignHeaderSize + 256;

// MWM_SLOT and MWM_LOGIN: UTF-16LE text, no terminator; the message's wParam is its length in
// code units.
Bytes EncodeTextRequest(const std::u16string& text);
// The text up to its first zero code unit or the end of the bytes.
std::u16string DecodeTextRequest(const std::uint8_t* bytes, std::size_t length);

// MWM_SIGN's request: a 6-byte header (6, the mechanism, the text's length in bytes, both 16-bit)
// and the data as narrow Base64 text.
struct SignRequest {
    std::uint16_t mechanism = 0;
    std::string text;
};
Bytes EncodeSignRequest(const SignRequest& request);
// Empty when the bytes are shorter than the header. The text ends at its first zero byte or at
// the end of the bytes; the header's length word is not trusted.
std::optional<SignRequest> DecodeSignRequest(const std::uint8_t* bytes, std::size_t length);

// MWM_SIGN's reply in the request channel: the header (6, 0, the reply text's length in bytes,
// low 16 bits) and the return channel's name, no terminator.
struct SignHeader {
    std::uint16_t length = 0;
    std::string channel;
};
Bytes EncodeSignHeader(const SignHeader& header);
SignHeader DecodeSignHeader(const Bytes& bytes);

// MWM_CARD's reply: the card serial (at most 64 bytes, no terminator at full width) and a
// status, kStatusNoCard when there is no card.
struct CardRecord {
    std::string serial;
    std::uint32_t status = 0;
};
Bytes EncodeCardRecord(const CardRecord& record);
CardRecord DecodeCardRecord(const Bytes& bytes);

// MWM_LOGIN's reply. The texts are cut to their area less one byte, so each stays terminated;
// the two lengths keep their low 16 bits.
struct LoginRecord {
    std::string cardSerial; // 64-byte area
    std::string certSerial; // 256-byte area
    std::string notAfter;   // 32-byte area
    std::uint16_t textWidth = kRecordTextWidth;
    std::uint16_t certLength = 0; // bytes of the certificate text, counted as UTF-16
    std::uint16_t infoLength = 0; // bytes MWM_CERTINF will write
    std::uint32_t status = 0;
    std::string text; // the return channel's name, or an error or expiry text
};
Bytes EncodeLoginRecord(const LoginRecord& record);
LoginRecord DecodeLoginRecord(const Bytes& bytes);

// A log frame in the log channel: the text offset (4), a zero word, the narrow text.
Bytes EncodeLogFrame(const std::string& text);
// The text from the frame's own offset to its first zero byte or the end of the bytes.
std::string DecodeLogFrame(const Bytes& bytes);

} // namespace tessivo
