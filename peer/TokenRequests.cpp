#include "peer/TokenRequests.h"

#include <algorithm>

#include <openssl/crypto.h>

#include "protocol/Frames.h"
#include "protocol/Mechanisms.h"
#include "protocol/Messages.h"
#include "protocol/ResultCodes.h"
#include "platform/codepage.h"

namespace peer {

namespace {

// Narrow text up to its first zero byte, at most `length` bytes.
std::string until_zero(const std::vector<std::uint8_t>& bytes, std::size_t length) {
    const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes.size()));
    return std::string(bytes.begin(), std::find(bytes.begin(), end, 0));
}

} // namespace

std::u16string utf8_to_u16(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int units = plat::MultiByteToWide(plat::kCpUtf8, 0, text.data(),
                                            static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    plat::MultiByteToWide(plat::kCpUtf8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                          units);
    return wide;
}

std::string u16_to_utf8(const std::u16string& text) {
    if (text.empty()) {
        return {};
    }
    const int bytes = plat::WideToMultiByte(plat::kCpUtf8, 0, text.data(),
                                            static_cast<int>(text.size()), nullptr, 0);
    if (bytes <= 0) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    plat::WideToMultiByte(plat::kCpUtf8, 0, text.data(), static_cast<int>(text.size()), &narrow[0],
                          bytes);
    return narrow;
}

std::optional<std::uint32_t> parse_mechanism(const std::string& text) {
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

slot_reply token_requests::slot(const std::u16string& reader) {
    session_.write_request(tessivo::EncodeTextRequest(reader));
    return {session_.send(MWM_SLOT, reader.size(), 0)};
}

card_reply token_requests::card() {
    // The record is read from the request channel: nothing of an earlier request may be left
    // there to be taken for it.
    session_.write_request({});
    card_reply out;
    out.result = session_.send(MWM_CARD, 0, 0);
    if (out.result == 0) {
        const tessivo::CardRecord record =
            tessivo::DecodeCardRecord(session_.read_request(tessivo::kCardRecordSize));
        out.serial = ansi_to_utf8(record.serial);
        out.no_card = record.status == tessivo::kStatusNoCard;
    }
    return out;
}

login_reply token_requests::login(const std::string& pin_utf8) {
    std::u16string pin = utf8_to_u16(pin_utf8);
    const std::size_t units = pin.size();
    std::vector<std::uint8_t> payload = tessivo::EncodeTextRequest(pin);
    OPENSSL_cleanse(&pin[0], pin.size() * sizeof(char16_t));
    return login_with(std::move(payload), units);
}

login_reply token_requests::login_on_pad() {
    return login_with({0, 0}, 1);
}

login_reply token_requests::login_with(std::vector<std::uint8_t> payload, std::size_t units) {
    session_.write_request(payload);
    if (!payload.empty()) {
        OPENSSL_cleanse(payload.data(), payload.size());
    }
    login_reply out;
    out.result = session_.send(MWM_LOGIN, units, 0);
    if (out.result != 0) {
        session_.write_request({}); // the PIN must not stay in the channel
        return out;
    }
    const tessivo::LoginRecord record =
        tessivo::DecodeLoginRecord(session_.read_request(tessivo::kLoginRecordSize));
    out.status = record.status;
    out.serial = ansi_to_utf8(record.cardSerial);
    out.cert_serial = ansi_to_utf8(record.certSerial);
    out.not_after = ansi_to_utf8(record.notAfter);
    out.text = ansi_to_utf8(record.text);
    out.info_length = record.infoLength;
    if (out.status == 0 || out.status == tessivo::kStatusExpired) {
        // A successful login's record names the return channel; an expired one carries a text.
        const std::string channel = out.status == 0 ? record.text : std::string();
        out.certificate = return_text(channel);
        // The record says a certificate was sent: finding none is a failure, not an answer.
        if (record.certLength != 0 && out.certificate->empty()) {
            out.error = "the agent's return channel " + ansi_to_utf8(channel) + " cannot be read";
        }
    }
    return out;
}

std::string token_requests::return_text(const std::string& channel) {
    // A certificate's text fits the first read; only a larger one costs a read of the whole
    // channel.
    constexpr std::size_t kFirstRead = 64 * 1024;
    std::vector<std::uint8_t> bytes = session_.read_return(kFirstRead, channel);
    if (std::find(bytes.begin(), bytes.end(), 0) == bytes.end()) {
        bytes = session_.read_return(kChannelSize, channel);
    }
    return until_zero(bytes, bytes.size());
}

logout_reply token_requests::logout() {
    return {session_.send(MWM_LOGOUT, 0, 0)};
}

certinfo_reply token_requests::certinfo() {
    session_.write_request({});
    certinfo_reply out;
    out.result = session_.send(MWM_CERTINF, 0, 0);
    const std::vector<std::uint8_t> bytes = session_.read_request(kChannelSize);
    out.record = u16_to_utf8(tessivo::DecodeTextRequest(bytes.data(), bytes.size()));
    return out;
}

sign_reply token_requests::sign(std::uint32_t mechanism, const std::string& base64) {
    const std::vector<std::uint8_t> payload =
        tessivo::EncodeSignRequest({static_cast<std::uint16_t>(mechanism), base64});
    session_.write_request(payload);
    sign_reply out;
    out.result = session_.send(MWM_SIGN, payload.size(), 0);
    if (out.result != 0) {
        return out;
    }
    const tessivo::SignHeader header =
        tessivo::DecodeSignHeader(session_.read_request(tessivo::kSignHeaderReadSize));
    out.length = header.length;
    out.channel = ansi_to_utf8(header.channel);
    out.signature = until_zero(session_.read_return(out.length, header.channel), out.length);
    // A signature that is not all there was not received: never report it as one.
    if (out.signature.size() != out.length || out.length == 0) {
        out.error = "the agent's return channel " + out.channel + " does not hold the signature";
    }
    return out;
}

} // namespace peer
