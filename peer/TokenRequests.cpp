#include "peer/TokenRequests.h"

#include <algorithm>
#include <memory>

#include <openssl/crypto.h>

#include "protocol/Frames.h"
#include "protocol/Mechanisms.h"
#include "protocol/Messages.h"
#include "protocol/ResultCodes.h"
#include "peer/ModuleView.h"
#include "peer/Script.h"
#include "platform/codepage.h"

namespace peer {

namespace {

// Narrow text up to its first zero byte, at most `length` bytes.
std::string until_zero(const std::vector<std::uint8_t>& bytes, std::size_t length) {
    const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes.size()));
    return std::string(bytes.begin(), std::find(bytes.begin(), end, 0));
}

nlohmann::json result_of(std::uint32_t message, std::int32_t result) {
    return {{"request", request_name(message)}, {"result", result}};
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

nlohmann::json token_requests::slot(const std::u16string& reader) {
    session_.write_request(tessivo::EncodeTextRequest(reader));
    return result_of(MWM_SLOT, session_.send(MWM_SLOT, reader.size(), 0));
}

nlohmann::json token_requests::card() {
    // The record is read from the request channel: nothing of an earlier request may be left
    // there to be taken for it.
    session_.write_request({});
    nlohmann::json out = result_of(MWM_CARD, session_.send(MWM_CARD, 0, 0));
    if (out["result"] == 0) {
        const tessivo::CardRecord record =
            tessivo::DecodeCardRecord(session_.read_request(tessivo::kCardRecordSize));
        out["serial"] = ansi_to_utf8(record.serial);
        out["noCard"] = record.status == tessivo::kStatusNoCard;
    }
    return out;
}

nlohmann::json token_requests::login(const std::string& pin_utf8) {
    std::u16string pin = utf8_to_u16(pin_utf8);
    const std::size_t units = pin.size();
    std::vector<std::uint8_t> payload = tessivo::EncodeTextRequest(pin);
    OPENSSL_cleanse(&pin[0], pin.size() * sizeof(char16_t));
    return login_with(std::move(payload), units);
}

nlohmann::json token_requests::login_on_pad() {
    return login_with({0, 0}, 1);
}

nlohmann::json token_requests::login_with(std::vector<std::uint8_t> payload, std::size_t units) {
    session_.write_request(payload);
    if (!payload.empty()) {
        OPENSSL_cleanse(payload.data(), payload.size());
    }
    nlohmann::json out = result_of(MWM_LOGIN, session_.send(MWM_LOGIN, units, 0));
    if (out["result"] != 0) {
        session_.write_request({}); // the PIN must not stay in the channel
        return out;
    }
    const tessivo::LoginRecord record =
        tessivo::DecodeLoginRecord(session_.read_request(tessivo::kLoginRecordSize));
    const std::uint32_t status = record.status;
    out["status"] = status;
    out["serial"] = ansi_to_utf8(record.cardSerial);
    out["certSerial"] = ansi_to_utf8(record.certSerial);
    out["notAfter"] = ansi_to_utf8(record.notAfter);
    out["text"] = ansi_to_utf8(record.text);
    out["infoLength"] = record.infoLength;
    if (status == 0 || status == tessivo::kStatusExpired) {
        // A successful login's record names the return channel; an expired one carries a text.
        const std::string channel = status == 0 ? record.text : std::string();
        out["certificate"] = return_text(channel);
        // The record says a certificate was sent: finding none is a failure, not an answer.
        if (record.certLength != 0 && out["certificate"].get<std::string>().empty()) {
            out["error"] =
                "the agent's return channel " + ansi_to_utf8(channel) + " cannot be read";
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

nlohmann::json token_requests::logout() {
    return result_of(MWM_LOGOUT, session_.send(MWM_LOGOUT, 0, 0));
}

nlohmann::json token_requests::certinfo() {
    session_.write_request({});
    nlohmann::json out = result_of(MWM_CERTINF, session_.send(MWM_CERTINF, 0, 0));
    const std::vector<std::uint8_t> bytes = session_.read_request(kChannelSize);
    const std::u16string record = tessivo::DecodeTextRequest(bytes.data(), bytes.size());
    out["record"] = u16_to_utf8(record);
    return out;
}

nlohmann::json token_requests::sign(std::uint32_t mechanism, const std::string& base64) {
    const std::vector<std::uint8_t> payload =
        tessivo::EncodeSignRequest({static_cast<std::uint16_t>(mechanism), base64});
    session_.write_request(payload);
    nlohmann::json out = result_of(MWM_SIGN, session_.send(MWM_SIGN, payload.size(), 0));
    if (out["result"] != 0) {
        return out;
    }
    const tessivo::SignHeader header =
        tessivo::DecodeSignHeader(session_.read_request(tessivo::kSignHeaderReadSize));
    const std::uint32_t length = header.length;
    out["length"] = length;
    out["channel"] = ansi_to_utf8(header.channel);
    out["signature"] = until_zero(session_.read_return(length, header.channel), length);
    // A signature that is not all there was not received: never report it as one.
    if (out["signature"].get<std::string>().size() != length || length == 0) {
        out["error"] = "the agent's return channel " + out["channel"].get<std::string>() +
                       " does not hold the signature";
    }
    return out;
}

namespace {

// What the peer knows of the card behind the agent's certificate record: the reader last
// selected and the serial of the card whose login built the record. The agent keeps that record
// when the card goes; the peer reads the reader itself to say whether it still belongs to the
// card there.
struct card_watch {
    std::string module_path;
    std::string reader;
    std::string record_serial;

    void after_login(nlohmann::json& login) {
        const std::uint32_t status = login.value("status", 0xFFFFFFFFu);
        if (status != 0 && status != tessivo::kStatusExpired) {
            return; // the agent keeps the record of the last login that got this far
        }
        if (login.value("infoLength", 0u) == 0) {
            // The login stands but found no certificates: what the return channel holds is an
            // earlier card's certificate.
            login.erase("certificate");
            login["note"] = "no signature certificate on this card";
            record_serial.clear();
            return;
        }
        record_serial = login.value("serial", std::string());
    }

    void after_certinfo(nlohmann::json& certinfo) const {
        if (certinfo.value("record", std::string()).empty() || record_serial.empty()) {
            return;
        }
        slot_view slot;
        std::string error;
        if (!read_reader(module_path, reader, slot, error)) {
            return; // nothing to compare with; the reply stands as it is
        }
        const std::string now = slot.token_present ? slot.serial : std::string();
        if (now != record_serial) {
            certinfo["stale"] = true;
            certinfo["note"] = now.empty() ? "the card " + record_serial + " is no longer there"
                                           : "the record is of the card " + record_serial +
                                                 ", not of the card " + now + " now there";
        }
    }
};

} // namespace

void add_token_commands(script_runner& runner, token_requests& requests,
                        const std::string& module_path) {
    using args_t = const std::vector<std::string>&;
    auto watch = std::make_shared<card_watch>();
    watch->module_path = module_path;
    runner.add("slot", [&requests, watch](args_t args) -> std::optional<nlohmann::json> {
        std::string text;
        for (std::size_t i = 0; i < args.size(); ++i) {
            text += (i > 0 ? " " : "") + args[i];
        }
        watch->reader = text;
        return requests.slot(utf8_to_u16(text));
    });
    runner.add("card", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: card");
        }
        return requests.card();
    });
    runner.add("login", [&requests, watch](args_t args) -> std::optional<nlohmann::json> {
        if (args.size() > 1) {
            throw script_error("usage: login PIN");
        }
        nlohmann::json out = requests.login(args.empty() ? std::string() : args[0]);
        watch->after_login(out);
        return out;
    });
    runner.add("logout", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: logout");
        }
        return requests.logout();
    });
    runner.add("certinfo", [&requests, watch](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: certinfo");
        }
        nlohmann::json out = requests.certinfo();
        watch->after_certinfo(out);
        return out;
    });
    runner.add("sign", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (args.empty() || args.size() > 2) {
            throw script_error("usage: sign MECH BASE64");
        }
        const std::optional<std::uint32_t> mechanism = parse_mechanism(args[0]);
        if (!mechanism) {
            throw script_error("not a mechanism: " + args[0]);
        }
        return requests.sign(*mechanism, args.size() == 2 ? args[1] : std::string());
    });
}

} // namespace peer
