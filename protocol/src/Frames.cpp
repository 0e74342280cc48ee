#include "protocol/Frames.h"

#include <algorithm>
#include <cstring>

namespace tessivo {
namespace {

// An area of a record: its offset and its width in bytes.
struct Area {
    std::size_t offset;
    std::size_t width;
};
// The login record repeats the card record's first 364 bytes with more areas filled.
constexpr Area kCardSerialArea{2, 64};
constexpr Area kCertSerialArea{66, 256};
constexpr Area kNotAfterArea{322, 32};
constexpr Area kRecordTextArea{kCardRecordSize, kRecordTextWidth};
constexpr std::size_t kTextWidthOffset = 354;
constexpr std::size_t kCertLengthOffset = 356;
constexpr std::size_t kInfoLengthOffset = 358;
constexpr std::size_t kStatusOffset = 360;

constexpr std::size_t kSignMechanismOffset = 2;
constexpr std::size_t kSignLengthOffset = 4;

void Put16(Bytes& frame, std::size_t offset, std::uint32_t value) {
    frame[offset] = static_cast<std::uint8_t>(value);
    frame[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& frame, std::size_t offset, std::uint32_t value) {
    Put16(frame, offset, value);
    Put16(frame, offset + 2, value >> 16);
}

std::uint16_t Get16(const std::uint8_t* bytes, std::size_t length, std::size_t offset) {
    if (offset + 2 > length) {
        return 0;
    }
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint32_t Get32(const Bytes& bytes, std::size_t offset) {
    return Get16(bytes.data(), bytes.size(), offset) |
           (std::uint32_t(Get16(bytes.data(), bytes.size(), offset + 2)) << 16);
}

void PutBytes(Bytes& frame, std::size_t offset, const std::string& text, std::size_t most) {
    std::memcpy(frame.data() + offset, text.data(), std::min(text.size(), most));
}

// Keeps a zero byte at the area's end, so the text stays terminated.
void PutText(Bytes& frame, Area area, const std::string& text) {
    PutBytes(frame, area.offset, text, area.width - 1);
}

// Narrow text up to its first zero byte, the area's end or the end of the bytes.
std::string GetText(const std::uint8_t* bytes, std::size_t length, std::size_t offset,
                    std::size_t width) {
    std::string text;
    for (std::size_t i = offset; i < offset + width && i < length && bytes[i] != 0; ++i) {
        text.push_back(static_cast<char>(bytes[i]));
    }
    return text;
}

std::string GetText(const Bytes& bytes, Area area) {
    return GetText(bytes.data(), bytes.size(), area.offset, area.width);
}

} // namespace

Bytes EncodeTextRequest(const std::u16string& text) {
    Bytes bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

std::u16string DecodeTextRequest(const std::uint8_t* bytes, std::size_t length) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

Bytes EncodeSignRequest(const SignRequest& request) {
    Bytes bytes(kSignHeaderSize, 0);
    Put16(bytes, 0, kSignHeaderSize);
    Put16(bytes, kSignMechanismOffset, request.mechanism);
    Put16(bytes, kSignLengthOffset, static_cast<std::uint32_t>(request.text.size()));
    bytes.insert(bytes.end(), request.text.begin(), request.text.end());
    return bytes;
}

std::optional<SignRequest> DecodeSignRequest(const std::uint8_t* bytes, std::size_t length) {
    if (length < kSignHeaderSize) {
        return std::nullopt;
    }
    SignRequest request;
    request.mechanism = Get16(bytes, length, kSignMechanismOffset);
    request.text = GetText(bytes, length, kSignHeaderSize, length - kSignHeaderSize);
    return request;
}

Bytes EncodeSignHeader(const SignHeader& header) {
    Bytes bytes(kSignHeaderSize, 0);
    Put16(bytes, 0, kSignHeaderSize);
    Put16(bytes, kSignLengthOffset, header.length);
    bytes.insert(bytes.end(), header.channel.begin(), header.channel.end());
    return bytes;
}

SignHeader DecodeSignHeader(const Bytes& bytes) {
    SignHeader header;
    header.length = Get16(bytes.data(), bytes.size(), kSignLengthOffset);
    header.channel =
        GetText(bytes.data(), bytes.size(), kSignHeaderSize, kSignHeaderReadSize - kSignHeaderSize);
    return header;
}

Bytes EncodeCardRecord(const CardRecord& record) {
    Bytes bytes(kCardRecordSize, 0);
    Put16(bytes, 0, kRecordTextArea.offset);
    Put32(bytes, kStatusOffset, record.status);
    // The whole area: a 64-byte serial has no terminator.
    PutBytes(bytes, kCardSerialArea.offset, record.serial, kCardSerialArea.width);
    return bytes;
}

CardRecord DecodeCardRecord(const Bytes& bytes) {
    return {GetText(bytes, kCardSerialArea), Get32(bytes, kStatusOffset)};
}

Bytes EncodeLoginRecord(const LoginRecord& record) {
    Bytes bytes(kLoginRecordSize, 0);
    Put16(bytes, 0, kRecordTextArea.offset);
    PutText(bytes, kCardSerialArea, record.cardSerial);
    PutText(bytes, kCertSerialArea, record.certSerial);
    PutText(bytes, kNotAfterArea, record.notAfter);
    Put16(bytes, kTextWidthOffset, record.textWidth);
    Put16(bytes, kCertLengthOffset, record.certLength);
    Put16(bytes, kInfoLengthOffset, record.infoLength);
    Put32(bytes, kStatusOffset, record.status);
    PutText(bytes, kRecordTextArea, record.text);
    return bytes;
}

LoginRecord DecodeLoginRecord(const Bytes& bytes) {
    LoginRecord record;
    record.cardSerial = GetText(bytes, kCardSerialArea);
    record.certSerial = GetText(bytes, kCertSerialArea);
    record.notAfter = GetText(bytes, kNotAfterArea);
    record.textWidth = Get16(bytes.data(), bytes.size(), kTextWidthOffset);
    record.certLength = Get16(bytes.data(), bytes.size(), kCertLengthOffset);
    record.infoLength = Get16(bytes.data(), bytes.size(), kInfoLengthOffset);
    record.status = Get32(bytes, kStatusOffset);
    record.text = GetText(bytes, kRecordTextArea);
    return record;
}

Bytes EncodeLogFrame(const std::string& text) {
    Bytes bytes(kLogTextOffset, 0);
    Put16(bytes, 0, kLogTextOffset);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

std::string DecodeLogFrame(const Bytes& bytes) {
    if (bytes.size() < 2) {
        return {};
    }
    const std::size_t offset = Get16(bytes.data(), bytes.size(), 0);
    return GetText(bytes.data(), bytes.size(), offset, bytes.size());
}

} // namespace tessivo
