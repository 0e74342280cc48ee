#include "host/Host.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iterator>
#include <memory>
#include <optional>

#include "protocol/Messages.h"
#include "cryptoki.h"
#include "protocol/Base64.h"
#include "protocol/Mechanisms.h"
#include "peer/PeerError.h"
#include "protocol/ResultCodes.h"
#include "peer/ModuleView.h"
#include "peer/TokenRequests.h"
#include "tessivo_version.h"

namespace host {

namespace {

using nlohmann::json;

const std::vector<std::uint8_t> kSignId = {'S', 'I', 'G', 'N'};
constexpr unsigned long kKeyUsageSignatureOnly = 0x80; // digitalSignature alone

[[noreturn]] void fail(const std::string& code, const std::string& message,
                       json extra = json::object()) {
    throw command_error{error{code, message, std::move(extra)}};
}
// The failures the host shares with tessivo-peer carry the peer's stable codes.
[[noreturn]] void fail(peer::peer_error kind, const std::string& message,
                       json extra = json::object()) {
    fail(peer::error_code(kind), message, std::move(extra));
}

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parse_der(const std::vector<std::uint8_t>& der) {
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (cert && p != der.data() + der.size()) {
        return nullptr; // bytes after the certificate: not one DER certificate
    }
    return cert;
}

std::string name_text(const X509_NAME* name) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio ||
        X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string common_name(const X509_NAME* name) {
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) {
        return {};
    }
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        return {};
    }
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string iso_time(const ASN1_TIME* time) {
    struct tm parts = {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return {};
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string serial_hex(const X509* cert) {
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(
        ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr), BN_free);
    if (!number) {
        return {};
    }
    char* hex = BN_bn2hex(number.get());
    std::string text = hex != nullptr ? hex : "";
    OPENSSL_free(hex);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

json certificate_fields(const std::vector<std::uint8_t>& der) {
    const X509Ptr cert = parse_der(der);
    if (!cert) {
        fail(peer::peer_error::module_failed, "the card's certificate cannot be read");
    }
    return {{"certificate", tessivo::EncodeBase64(der)},
            {"subject", name_text(X509_get_subject_name(cert.get()))},
            {"holderName", common_name(X509_get_subject_name(cert.get()))},
            {"issuer", name_text(X509_get_issuer_name(cert.get()))},
            {"serialNumber", serial_hex(cert.get())},
            {"notBefore", iso_time(X509_get0_notBefore(cert.get()))},
            {"notAfter", iso_time(X509_get0_notAfter(cert.get()))}};
}

// The certificate the agent takes as the signing one: id "SIGN", else the first whose key usage
// is digital signature alone.
std::optional<std::vector<std::uint8_t>>
signing_certificate_of(const std::vector<peer::public_certificate>& certs) {
    for (const peer::public_certificate& c : certs) {
        if (c.id == kSignId) {
            return c.der;
        }
    }
    for (const peer::public_certificate& c : certs) {
        const X509Ptr cert = parse_der(c.der);
        if (cert && (X509_get_extension_flags(cert.get()) & EXFLAG_KUSAGE) != 0 &&
            (X509_get_key_usage(cert.get()) & 0xFF) == kKeyUsageSignatureOnly) {
            return c.der;
        }
    }
    return std::nullopt;
}

json pin_flags(std::uint64_t flags) {
    return {{"pinCountLow", (flags & CKF_USER_PIN_COUNT_LOW) != 0},
            {"pinFinalTry", (flags & CKF_USER_PIN_FINAL_TRY) != 0},
            {"pinLocked", (flags & CKF_USER_PIN_LOCKED) != 0}};
}

// The module, opened for one request: a card put in or pulled since the last one is seen.
class module_scope {
public:
    explicit module_scope(const std::string& path) {
        std::string error;
        if (!view_.open(path, error)) {
            fail(peer::peer_error::module_failed, error);
        }
    }
    std::vector<peer::slot_view> slots() {
        std::vector<peer::slot_view> out;
        std::string error;
        if (!view_.slots(out, error)) {
            fail(peer::peer_error::module_failed, error);
        }
        return out;
    }
    // The signing certificate of a present card; empty when the card shows none without a PIN.
    std::optional<std::vector<std::uint8_t>> signing_certificate(const peer::slot_view& slot,
                                                                 bool& any_certificate) {
        std::vector<peer::public_certificate> certs;
        std::string error;
        if (!view_.public_certificates(slot.id, certs, error)) {
            fail(peer::peer_error::module_failed, error);
        }
        any_certificate = !certs.empty();
        return signing_certificate_of(certs);
    }

private:
    peer::module_view view_;
};

// A token that was never initialised (a free slot of a software token) holds no card's keys:
// it counts as no card.
bool card_in(const peer::slot_view& slot) {
    return slot.token_present && (slot.token_flags & CKF_TOKEN_INITIALIZED) != 0;
}

std::string reader_name(const peer::slot_view& slot) {
    return peer::module_text_to_utf8(slot.description);
}

const peer::slot_view& named_reader(const std::vector<peer::slot_view>& slots,
                                    const std::string& name) {
    for (const peer::slot_view& slot : slots) {
        if (reader_name(slot) == name) {
            return slot;
        }
    }
    fail(peer::peer_error::no_reader, "no reader of that name");
}

// The bytes of line-broken Base64 (the agent's form), or of a <SignatureValue> element's text.
std::vector<std::uint8_t> decode_agent_base64(std::string text) {
    const std::string open = "<SignatureValue>";
    const std::string close = "</SignatureValue>";
    if (text.compare(0, open.size(), open) == 0 && text.size() >= open.size() + close.size() &&
        text.compare(text.size() - close.size(), close.size(), close) == 0) {
        text = text.substr(open.size(), text.size() - open.size() - close.size());
    }
    text.erase(
        std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }),
        text.end());
    bool ok = false;
    std::vector<std::uint8_t> bytes = tessivo::DecodeBase64Strict(text, ok);
    return ok ? bytes : std::vector<std::uint8_t>();
}

} // namespace

host_session::host_session(host_options options) : options_(std::move(options)) {
    module_ = peer::agent_module_path(options_.module_path, options_.agent_path);
}

host_session::~host_session() = default;

peer::agent_session& host_session::agent() {
    if (agent_ && agent_->alive()) {
        return *agent_;
    }
    agent_.reset();
    auto session = std::make_unique<peer::agent_session>();
    peer::session_options options;
    options.agent_path = options_.agent_path;
    options.module_path = options_.module_path;
    options.send_timeout_ms = options_.send_timeout_ms;
    std::string error;
    if (!session->start(options, error) || !session->wait_ready(error)) {
        fail(peer::peer_error::agent_failed, error);
    }
    agent_ = std::move(session);
    return *agent_;
}

json host_session::status() {
    return {{"hostVersion", TESSIVO_VERSION},
            {"protocolVersion", kProtocolVersion},
            // The agent is built from the same tree and carries the same version.
            {"agentVersion", TESSIVO_VERSION},
            {"agentRunning", agent_ != nullptr && agent_->alive()},
            {"module", module_}};
}

json host_session::readers() {
    module_scope module(module_);
    json list = json::array();
    for (const peer::slot_view& slot : module.slots()) {
        json entry = {{"name", reader_name(slot)},
                      {"cardPresent", card_in(slot)},
                      {"label", peer::module_text_to_utf8(slot.label)},
                      {"serial", peer::module_text_to_utf8(slot.serial)}};
        entry.update(pin_flags(slot.token_flags));
        entry["pinPad"] = peer::has_pin_pad(slot.token_flags);
        list.push_back(entry);
    }
    return {{"readers", list}};
}

json host_session::signing_certificate(const request& r) {
    module_scope module(module_);
    const std::vector<peer::slot_view> slots = module.slots();
    if (slots.empty()) {
        fail(peer::peer_error::no_reader, "the module lists no reader");
    }
    std::vector<peer::slot_view> candidates;
    if (r.reader) {
        candidates.push_back(named_reader(slots, *r.reader));
    } else {
        std::copy_if(slots.begin(), slots.end(), std::back_inserter(candidates),
                     [](const peer::slot_view& s) { return card_in(s); });
    }
    bool any_card = false;
    bool only_private = false;
    for (const peer::slot_view& slot : candidates) {
        if (!card_in(slot)) {
            continue;
        }
        any_card = true;
        bool any_certificate = false;
        const auto der = module.signing_certificate(slot, any_certificate);
        if (der) {
            json out = certificate_fields(*der);
            out["reader"] = reader_name(slot);
            out["cardSerial"] = peer::module_text_to_utf8(slot.serial);
            out["pinPad"] = peer::has_pin_pad(slot.token_flags);
            return out;
        }
        only_private = only_private || !any_certificate;
    }
    if (!any_card) {
        fail(peer::peer_error::no_card, "no card in the reader");
    }
    if (only_private) {
        fail("certificate-not-public", "the card shows its certificate only after the PIN");
    }
    fail("no-certificate", "the card holds no signing certificate");
}

json host_session::sign(const request& r) {
    if (!parse_der(r.certificate)) {
        fail("invalid-certificate", "\"certificate\" is not a DER certificate");
    }
    const std::vector<std::uint8_t> info = tessivo::DigestInfo(r.algorithm, r.hash);

    // The reader: the one named, else the one whose card shows this certificate, else the only
    // card there is (its certificate is compared after the login).
    peer::slot_view reader;
    {
        module_scope module(module_);
        const std::vector<peer::slot_view> slots = module.slots();
        if (r.reader) {
            reader = named_reader(slots, *r.reader);
        } else {
            std::vector<peer::slot_view> present;
            std::copy_if(slots.begin(), slots.end(), std::back_inserter(present),
                         [](const peer::slot_view& s) { return card_in(s); });
            bool found = false;
            for (const peer::slot_view& slot : present) {
                bool any_certificate = false;
                const auto der = module.signing_certificate(slot, any_certificate);
                if (der && *der == r.certificate) {
                    reader = slot;
                    found = true;
                    break;
                }
            }
            if (!found && present.size() == 1) {
                reader = present[0];
                found = true;
            }
            if (!found) {
                fail(present.empty() ? peer::error_code(peer::peer_error::no_card)
                                     : "certificate-mismatch",
                     present.empty() ? "no card in the reader"
                                     : "no card holds the certificate to sign with");
            }
        }
        if (!card_in(reader)) {
            fail(peer::peer_error::no_card, "no card in the reader");
        }
        if (reader.token_flags & CKF_USER_PIN_LOCKED) {
            fail(peer::peer_error::pin_locked, "the PIN is blocked", pin_flags(reader.token_flags));
        }
    }

    peer::agent_session& session = agent();
    peer::token_requests requests(session);
    requests.slot(peer::agent_reader_text(reader.description));
    const peer::card_reply card = requests.card();
    if (card.result != 0) {
        fail(peer::peer_error::agent_failed, "the agent did not answer the card request");
    }
    if (card.no_card) {
        fail(peer::peer_error::no_card, "no card in the reader");
    }

    // A reader with its own PIN pad asks the holder itself: the agent gets no PIN at all.
    const bool pad = peer::has_pin_pad(reader.token_flags);
    if (!pad && r.pin.empty()) {
        fail("pin-required", "the card needs its PIN");
    }
    const peer::login_reply login = pad ? requests.login_on_pad() : requests.login(r.pin);
    if (login.result != 0) {
        fail(peer::peer_error::agent_failed, "the agent did not answer the login");
    }
    const std::uint32_t status = login.status;
    if (status != 0 && status != tessivo::kStatusExpired) {
        // The token's flags after the attempt tell how many tries are left.
        json flags = json::object();
        {
            module_scope module(module_);
            for (const peer::slot_view& slot : module.slots()) {
                if (slot.description == reader.description) {
                    flags = pin_flags(slot.token_flags);
                }
            }
        }
        if (status == tessivo::kStatusNoReader) {
            fail(peer::peer_error::no_reader, "the agent does not know the reader");
        }
        if ((status & 0xFFFF) == CKR_PIN_LOCKED) {
            fail(peer::peer_error::pin_locked, "the PIN is blocked", flags);
        }
        if ((status & 0xFFFF) == CKR_PIN_INCORRECT) {
            if (flags.value("pinLocked", false)) {
                fail(peer::peer_error::pin_locked, "the PIN is blocked", flags);
            }
            fail(peer::peer_error::pin_incorrect, "wrong PIN", flags);
        }
        fail("sign-failed", "the card refused the login: " + login.text);
    }

    // From here on the card is logged in: every way out logs out.
    struct logout_guard {
        peer::token_requests& requests;
        peer::agent_session& session;
        ~logout_guard() {
            if (session.alive()) {
                try {
                    requests.logout();
                } catch (const std::exception&) {
                }
            }
        }
    } guard{requests, session};

    // A login that found no certificates leaves an earlier card's certificate in the return
    // channel: it must not pass for this card's.
    if (login.info_length == 0) {
        fail("no-certificate", "the card holds no signing certificate");
    }
    const std::vector<std::uint8_t> card_certificate =
        decode_agent_base64(login.certificate.value_or(std::string()));
    if (card_certificate != r.certificate) {
        fail("certificate-mismatch", "the card's signing certificate is not the one asked for");
    }
    const peer::sign_reply signed_ = requests.sign(tessivo::kRsaPkcs, tessivo::EncodeBase64(info));
    if (signed_.result != 0) {
        fail("sign-failed", "the card refused to sign");
    }
    const std::vector<std::uint8_t> signature = decode_agent_base64(signed_.signature);
    if (signature.empty()) {
        fail("sign-failed", "the agent's signature cannot be read");
    }
    return {{"signature", tessivo::EncodeBase64(signature)},
            {"hashAlgorithm", tessivo::HashAlgorithmName(r.algorithm)},
            {"signatureAlgorithm", "RSASSA-PKCS1-v1_5"},
            {"reader", reader_name(reader)}};
}

std::string host_session::handle(const std::string& body, bool& quit) {
    quit = false;
    parsed p = parse_request(body);
    if (!p.ok) {
        return error_reply(p.id, *p.failed);
    }
    const request& r = *p.ok;
    try {
        switch (r.what) {
        case command::status:
            return result_reply(r.id, status());
        case command::readers:
            return result_reply(r.id, readers());
        case command::get_signing_certificate:
            return result_reply(r.id, signing_certificate(r));
        case command::sign:
            return result_reply(r.id, sign(r));
        case command::quit:
            quit = true;
            return result_reply(r.id, json::object());
        }
    } catch (const command_error& e) {
        return error_reply(r.id, e.e);
    } catch (const peer::agent_error& e) {
        agent_.reset();
        return error_reply(r.id, error{"agent-failed", e.what(), json::object()});
    } catch (const std::exception& e) {
        return error_reply(r.id, error{"internal-error", e.what(), json::object()});
    }
    return error_reply(r.id, error{"internal-error", "unhandled command", json::object()});
}

} // namespace host
