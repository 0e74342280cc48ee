#include "peer/TokenRequests.h"

#include <algorithm>

#include <openssl/crypto.h>

#include "protocol/Frames.h"
#include "protocol/Mechanisms.h"
#include "protocol/Messages.h"
#include "protocol/ResultCodes.h"
#include "platform/codepage.h"
#include "peer/Translate.h"
#include "platform/text.h"

namespace peer {

namespace {

// Narrow text up to its first zero byte, at most `length` bytes.
std::string UntilZero(const std::vector<std::uint8_t>& bytes, std::size_t length) {
    const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes.size()));
    return std::string(bytes.begin(), std::find(bytes.begin(), end, 0));
}

} // namespace

std::u16string Utf8ToU16(const std::string& text) {
    return plat::Utf8ToUtf16(text);
}

std::string U16ToUtf8(const std::u16string& text) {
    return plat::Utf16ToUtf8(text);
}

std::optional<std::uint32_t> ParseMechanism(const std::string& text) {
    if (const tessivo::Mechanism* mechanism = tessivo::FindMechanism(text)) {
        return mechanism->number;
    }
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used, 0);
        if (used == text.size() && value <= 0xFFFF) {
            return static_cast<std::uint32_t>(value);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

SlotReply TokenRequests::Slot(const std::u16string& reader) {
    session_.WriteRequest(tessivo::EncodeTextRequest(reader));
    return {session_.Send(MWM_SLOT, reader.size(), 0)};
}

CardReply TokenRequests::Card() {
    // The record is read from the request channel: nothing of an earlier request may be left
    // there to be taken for it.
    session_.WriteRequest({});
    CardReply out;
    out.result = session_.Send(MWM_CARD, 0, 0);
    if (out.result == 0) {
        const tessivo::CardRecord record =
            tessivo::DecodeCardRecord(session_.ReadRequest(tessivo::kCardRecordSize));
        out.serial = AnsiToUtf8(record.serial);
        out.noCard = record.status == tessivo::kStatusNoCard;
    }
    return out;
}

LoginReply TokenRequests::Login(const std::string& pinUtf8) {
    std::u16string pin = Utf8ToU16(pinUtf8);
    const std::size_t units = pin.size();
    std::vector<std::uint8_t> payload = tessivo::EncodeTextRequest(pin);
    OPENSSL_cleanse(&pin[0], pin.size() * sizeof(char16_t));
    return LoginWith(std::move(payload), units);
}

LoginReply TokenRequests::LoginOnPad() {
    return LoginWith({0, 0}, 1);
}

LoginReply TokenRequests::LoginWith(std::vector<std::uint8_t> payload, std::size_t units) {
    session_.WriteRequest(payload);
    if (!payload.empty()) {
        OPENSSL_cleanse(payload.data(), payload.size());
    }
    LoginReply out;
    out.result = session_.Send(MWM_LOGIN, units, 0);
    if (out.result != 0) {
        session_.WriteRequest({}); // the PIN must not stay in the channel
        return out;
    }
    const tessivo::LoginRecord record =
        tessivo::DecodeLoginRecord(session_.ReadRequest(tessivo::kLoginRecordSize));
    out.status = record.status;
    out.serial = AnsiToUtf8(record.cardSerial);
    out.certSerial = AnsiToUtf8(record.certSerial);
    out.notAfter = AnsiToUtf8(record.notAfter);
    out.text = AnsiToUtf8(record.text);
    out.infoLength = record.infoLength;
    if (out.status == 0 || out.status == tessivo::kStatusExpired) {
        // A successful login's record names the return channel; an expired one carries a text.
        const std::string channel = out.status == 0 ? record.text : std::string();
        out.certificate = ReturnText(channel);
        // The record says a certificate was sent: finding none is a failure, not an answer.
        if (record.certLength != 0 && out.certificate->empty()) {
            out.error = Tr("the agent's return channel %s cannot be read", AnsiToUtf8(channel));
        }
    }
    return out;
}

std::string TokenRequests::ReturnText(const std::string& channel) {
    // A certificate's text fits the first read; only a larger one costs a read of the whole
    // channel.
    constexpr std::size_t kFirstRead = 64 * 1024;
    std::vector<std::uint8_t> bytes = session_.ReadReturn(kFirstRead, channel);
    if (std::find(bytes.begin(), bytes.end(), 0) == bytes.end()) {
        bytes = session_.ReadReturn(kChannelSize, channel);
    }
    return UntilZero(bytes, bytes.size());
}

LogoutReply TokenRequests::Logout() {
    return {session_.Send(MWM_LOGOUT, 0, 0)};
}

CertinfoReply TokenRequests::Certinfo() {
    session_.WriteRequest({});
    CertinfoReply out;
    out.result = session_.Send(MWM_CERTINF, 0, 0);
    const std::vector<std::uint8_t> bytes = session_.ReadRequest(kChannelSize);
    out.record = U16ToUtf8(tessivo::DecodeTextRequest(bytes.data(), bytes.size()));
    return out;
}

SignReply TokenRequests::Sign(std::uint32_t mechanism, const std::string& base64) {
    const std::vector<std::uint8_t> payload =
        tessivo::EncodeSignRequest({static_cast<std::uint16_t>(mechanism), base64});
    session_.WriteRequest(payload);
    SignReply out;
    out.result = session_.Send(MWM_SIGN, payload.size(), 0);
    if (out.result != 0) {
        return out;
    }
    const tessivo::SignHeader header =
        tessivo::DecodeSignHeader(session_.ReadRequest(tessivo::kSignHeaderReadSize));
    out.length = header.length;
    out.channel = AnsiToUtf8(header.channel);
    out.signature = UntilZero(session_.ReadReturn(out.length, header.channel), out.length);
    // A signature that is not all there was not received: never report it as one.
    if (out.signature.size() != out.length || out.length == 0) {
        out.error = Tr("the agent's return channel %s does not hold the signature", out.channel);
    }
    return out;
}

} // namespace peer
