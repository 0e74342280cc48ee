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
#include "peer/LoginRule.h"
#include "peer/ModuleView.h"
#include "peer/ReaderChoice.h"
#include "peer/TokenRequests.h"
#include "tessivo_version.h"

namespace host {

namespace {

using nlohmann::json;

// Every code comes from the one list shared with tessivo-peer.
[[noreturn]] void Fail(peer::PeerError kind, const std::string& message,
                       json extra = json::object()) {
    throw CommandError{Error{peer::ErrorCode(kind), message, std::move(extra)}};
}

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr ParseDer(const std::vector<std::uint8_t>& der) {
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (cert && p != der.data() + der.size()) {
        return nullptr; // bytes after the certificate: not one DER certificate
    }
    return cert;
}

std::string CommonName(const X509_NAME* name) {
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

std::string IsoTime(const ASN1_TIME* time) {
    struct tm parts = {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return {};
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string SerialHex(const X509* cert) {
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

json CertificateFields(const std::vector<std::uint8_t>& der) {
    const X509Ptr cert = ParseDer(der);
    if (!cert) {
        Fail(peer::PeerError::ModuleFailed, "the card's certificate cannot be read");
    }
    return {{"certificate", tessivo::EncodeBase64(der)},
            {"subject", peer::DistinguishedNameText(X509_get_subject_name(cert.get()))},
            {"holderName", CommonName(X509_get_subject_name(cert.get()))},
            {"issuer", peer::DistinguishedNameText(X509_get_issuer_name(cert.get()))},
            {"serialNumber", SerialHex(cert.get())},
            {"notBefore", IsoTime(X509_get0_notBefore(cert.get()))},
            {"notAfter", IsoTime(X509_get0_notAfter(cert.get()))}};
}

json PinFlags(std::uint64_t flags) {
    return {{"pinCountLow", (flags & CKF_USER_PIN_COUNT_LOW) != 0},
            {"pinFinalTry", (flags & CKF_USER_PIN_FINAL_TRY) != 0},
            {"pinLocked", (flags & CKF_USER_PIN_LOCKED) != 0}};
}

// A card as the agent's login would find it, judged from what it shows before any PIN.
struct JudgedCard {
    peer::SlotView slot;
    peer::LoginCheck check;
    std::optional<std::vector<std::uint8_t>> signature; // the signature certificate's DER
};

// The module, opened for one request: a card put in or pulled since the last one is seen.
class ModuleScope {
public:
    explicit ModuleScope(const std::string& path) {
        std::string error;
        if (!view_.Open(path, error).Ok()) {
            Fail(peer::PeerError::ModuleFailed, error);
        }
    }
    std::vector<peer::SlotView> Slots() {
        std::vector<peer::SlotView> out;
        std::string error;
        if (!view_.Slots(out, error).Ok()) {
            Fail(peer::PeerError::ModuleFailed, error);
        }
        return out;
    }
    // Reads only the public certificate objects of a present card; nothing is logged in.
    JudgedCard Judge(const peer::SlotView& slot) {
        std::vector<peer::PublicCertificate> certs;
        std::string error;
        if (!view_.PublicCertificates(slot.id, certs, error).Ok()) {
            Fail(peer::PeerError::ModuleFailed, error);
        }
        JudgedCard card{slot, peer::CheckLoginRule(certs), std::nullopt};
        if (card.check.signature) {
            card.signature = certs[*card.check.signature].der;
        }
        return card;
    }

private:
    peer::ModuleView view_;
};

// A token that was never initialised (a free slot of a software token) holds no card's keys:
// it counts as no card.
bool CardIn(const peer::SlotView& slot) {
    return slot.tokenPresent && (slot.tokenFlags & CKF_TOKEN_INITIALIZED) != 0;
}

std::string ReaderName(const peer::SlotView& slot) {
    return peer::ModuleTextToUtf8(slot.description);
}

const peer::SlotView& NamedReader(const std::vector<peer::SlotView>& slots,
                                  const std::string& name) {
    for (const peer::SlotView& slot : slots) {
        if (ReaderName(slot) == name) {
            return slot;
        }
    }
    Fail(peer::PeerError::NoReader, "no reader of that name");
}

// The agent selects readers by description and takes the first that has it: a request for a
// reader whose description another reader shares could reach the other card, and spend its PIN
// tries.
void RefuseSharedDescription(const std::vector<peer::SlotView>& slots, const peer::SlotView& slot) {
    const std::size_t count = peer::SlotsDescribedAs(slots, slot.description).size();
    if (count > 1) {
        Fail(peer::PeerError::AmbiguousReader,
             std::to_string(count) + " readers are named \"" + ReaderName(slot) +
                 "\": the agent selects a reader by its name and cannot tell them apart; nothing "
                 "was read from the cards");
    }
}

// A card that shows certificates, but not those the agent's login needs.
void RefuseUnusable(const JudgedCard& card) {
    if (card.check.verdict != peer::CardVerdict::Unusable) {
        return;
    }
    std::string found;
    for (const peer::CertificateFacts& facts : card.check.certificates) {
        found += (found.empty() ? "" : "; ") + peer::DescribeCertificate(facts);
    }
    Fail(peer::PeerError::UnsupportedCard, card.check.missing + " The card in \"" +
                                               ReaderName(card.slot) +
                                               "\" shows these certificates: " + found + ".");
}

// The bytes of line-broken Base64 (the agent's form), or of a <SignatureValue> element's text.
std::vector<std::uint8_t> DecodeAgentBase64(std::string text) {
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

HostSession::HostSession(HostOptions options) : options_(std::move(options)) {
    module_ = peer::AgentModulePath(options_.modulePath, options_.agentPath);
}

HostSession::~HostSession() = default;

peer::AgentSession& HostSession::Agent() {
    if (agent_ && agent_->Alive()) {
        return *agent_;
    }
    agent_.reset();
    auto session = std::make_unique<peer::AgentSession>();
    peer::SessionOptions options;
    options.agentPath = options_.agentPath;
    options.modulePath = options_.modulePath;
    options.sendTimeoutMs = options_.sendTimeoutMs;
    std::string error;
    if (!session->Start(options, error) || !session->WaitReady(error)) {
        Fail(peer::PeerError::AgentFailed, error);
    }
    agent_ = std::move(session);
    return *agent_;
}

json HostSession::Status() {
    // Nothing of the machine's set-up (the module's path, readers): the extension answers pages
    // with presence and protocol version only, and its own pages need no more.
    return {{"hostVersion", TESSIVO_VERSION},
            {"protocolVersion", kProtocolVersion},
            {"agentRunning", agent_ != nullptr && agent_->Alive()}};
}

json HostSession::Readers() {
    ModuleScope module(module_);
    json list = json::array();
    for (const peer::SlotView& slot : module.Slots()) {
        json entry = {{"name", ReaderName(slot)},
                      {"cardPresent", CardIn(slot)},
                      {"label", peer::ModuleTextToUtf8(slot.label)},
                      {"serial", peer::ModuleTextToUtf8(slot.serial)}};
        entry.update(PinFlags(slot.tokenFlags));
        entry["pinPad"] = peer::HasPinPad(slot.tokenFlags);
        list.push_back(entry);
    }
    return {{"readers", list}};
}

json HostSession::SigningCertificate(const Request& r) {
    ModuleScope module(module_);
    const std::vector<peer::SlotView> slots = module.Slots();
    if (slots.empty()) {
        Fail(peer::PeerError::NoReader, "the module lists no reader");
    }
    std::vector<peer::SlotView> candidates;
    if (r.reader) {
        candidates.push_back(NamedReader(slots, *r.reader));
        RefuseSharedDescription(slots, candidates.front());
    } else {
        std::copy_if(slots.begin(), slots.end(), std::back_inserter(candidates),
                     [](const peer::SlotView& s) { return CardIn(s); });
    }
    // The first card the agent's login can use; else the first that fails its rule.
    std::optional<JudgedCard> unusable;
    bool anyCard = false;
    for (const peer::SlotView& slot : candidates) {
        if (!CardIn(slot)) {
            continue;
        }
        anyCard = true;
        JudgedCard card = module.Judge(slot);
        if (card.check.verdict == peer::CardVerdict::Usable) {
            RefuseSharedDescription(slots, slot);
            json out = CertificateFields(*card.signature);
            out["reader"] = ReaderName(slot);
            out["cardSerial"] = peer::ModuleTextToUtf8(slot.serial);
            out["pinPad"] = peer::HasPinPad(slot.tokenFlags);
            out.update(PinFlags(slot.tokenFlags));
            return out;
        }
        if (card.check.verdict == peer::CardVerdict::Unusable && !unusable) {
            unusable = std::move(card);
        }
    }
    if (!anyCard) {
        Fail(peer::PeerError::NoCard, "no card in the reader");
    }
    if (unusable) {
        RefuseUnusable(*unusable);
    }
    Fail(peer::PeerError::CertificateNotPublic,
         "the card shows its certificate only after the PIN");
}

json HostSession::Sign(const Request& r) {
    if (!ParseDer(r.certificate)) {
        Fail(peer::PeerError::InvalidCertificate, "\"certificate\" is not a DER certificate");
    }
    const std::vector<std::uint8_t> info = tessivo::DigestInfo(r.algorithm, r.hash);

    // The reader: the one named, else the one whose card shows this certificate, else the only
    // card there is (a card that shows its certificates only after the PIN is compared after
    // the login). Everything that can refuse the request is checked here, before any PIN.
    peer::SlotView reader;
    {
        ModuleScope module(module_);
        const std::vector<peer::SlotView> slots = module.Slots();
        std::optional<JudgedCard> card;
        if (r.reader) {
            reader = NamedReader(slots, *r.reader);
            RefuseSharedDescription(slots, reader);
            if (!CardIn(reader)) {
                Fail(peer::PeerError::NoCard, "no card in the reader");
            }
            card = module.Judge(reader);
        } else {
            std::vector<JudgedCard> present;
            for (const peer::SlotView& slot : slots) {
                if (CardIn(slot)) {
                    present.push_back(module.Judge(slot));
                }
            }
            if (present.empty()) {
                Fail(peer::PeerError::NoCard, "no card in the reader");
            }
            for (const JudgedCard& c : present) {
                if (c.signature == r.certificate) {
                    card = c;
                    break;
                }
            }
            if (!card && present.size() == 1) {
                card = present.front();
            }
            if (!card) {
                Fail(peer::PeerError::CertificateMismatch,
                     "no card holds the certificate to sign with");
            }
            reader = card->slot;
            RefuseSharedDescription(slots, reader);
        }
        RefuseUnusable(*card);
        if (card->signature && *card->signature != r.certificate) {
            Fail(peer::PeerError::CertificateMismatch,
                 "the card's signing certificate is not the one asked for");
        }
        if (reader.tokenFlags & CKF_USER_PIN_LOCKED) {
            Fail(peer::PeerError::PinLocked, "the PIN is blocked", PinFlags(reader.tokenFlags));
        }
    }
    // A reader with its own PIN pad asks the holder itself: the agent gets no PIN at all.
    const bool pad = peer::HasPinPad(reader.tokenFlags);
    if (!pad && r.pin.empty()) {
        Fail(peer::PeerError::PinRequired, "the card needs its PIN");
    }

    peer::AgentSession& session = Agent();
    peer::TokenRequests requests(session);
    requests.Slot(peer::AgentReaderText(reader.description));
    const peer::CardReply card = requests.Card();
    if (card.result != 0) {
        Fail(peer::PeerError::AgentFailed, "the agent did not answer the card request");
    }
    if (card.noCard) {
        Fail(peer::PeerError::NoCard, "no card in the reader");
    }

    const peer::LoginReply login = pad ? requests.LoginOnPad() : requests.Login(r.pin);
    if (login.result != 0) {
        Fail(peer::PeerError::AgentFailed, "the agent did not answer the login");
    }
    const std::uint32_t status = login.status;
    if (status != 0 && status != tessivo::kStatusExpired) {
        // The token's flags after the attempt tell how many tries are left.
        json flags = json::object();
        {
            ModuleScope module(module_);
            for (const peer::SlotView& slot : module.Slots()) {
                if (slot.description == reader.description) {
                    flags = PinFlags(slot.tokenFlags);
                }
            }
        }
        if (status == tessivo::kStatusNoReader) {
            Fail(peer::PeerError::NoReader, "the agent does not know the reader");
        }
        if ((status & 0xFFFF) == CKR_PIN_LOCKED) {
            Fail(peer::PeerError::PinLocked, "the PIN is blocked", flags);
        }
        if ((status & 0xFFFF) == CKR_PIN_INCORRECT) {
            if (flags.value("pinLocked", false)) {
                Fail(peer::PeerError::PinLocked, "the PIN is blocked", flags);
            }
            Fail(peer::PeerError::PinIncorrect, "wrong PIN", flags);
        }
        Fail(peer::PeerError::SignFailed, "the card refused the login: " + login.text);
    }

    // From here on the card is logged in: every way out logs out.
    struct LogoutGuard {
        peer::TokenRequests& requests;
        peer::AgentSession& session;
        ~LogoutGuard() {
            if (session.Alive()) {
                try {
                    requests.Logout();
                } catch (const std::exception&) {
                }
            }
        }
    } guard{requests, session};

    // A login that found no certificates leaves an earlier card's certificate in the return
    // channel: it must not pass for this card's.
    if (login.infoLength == 0) {
        Fail(peer::PeerError::NoCertificate, "the card holds no signing certificate");
    }
    const std::vector<std::uint8_t> cardCertificate =
        DecodeAgentBase64(login.certificate.value_or(std::string()));
    if (cardCertificate != r.certificate) {
        Fail(peer::PeerError::CertificateMismatch,
             "the card's signing certificate is not the one asked for");
    }
    const peer::SignReply signedReply =
        requests.Sign(tessivo::kRsaPkcs, tessivo::EncodeBase64(info));
    if (signedReply.result != 0) {
        Fail(peer::PeerError::SignFailed, "the card refused to sign");
    }
    const std::vector<std::uint8_t> signature = DecodeAgentBase64(signedReply.signature);
    if (signature.empty()) {
        Fail(peer::PeerError::SignFailed, "the agent's signature cannot be read");
    }
    return {{"signature", tessivo::EncodeBase64(signature)},
            {"hashAlgorithm", tessivo::HashAlgorithmName(r.algorithm)},
            {"signatureAlgorithm", "RSASSA-PKCS1-v1_5"},
            {"reader", ReaderName(reader)}};
}

std::string HostSession::Handle(const std::string& body, bool& quit) {
    quit = false;
    Parsed p = ParseRequest(body);
    if (!p.ok) {
        return ErrorReply(p.id, *p.failed);
    }
    const Request& r = *p.ok;
    try {
        switch (r.what) {
        case Command::Status:
            return ResultReply(r.id, Status());
        case Command::Readers:
            return ResultReply(r.id, Readers());
        case Command::GetSigningCertificate:
            return ResultReply(r.id, SigningCertificate(r));
        case Command::Sign:
            return ResultReply(r.id, Sign(r));
        case Command::Quit:
            quit = true;
            return ResultReply(r.id, json::object());
        }
    } catch (const CommandError& e) {
        return ErrorReply(r.id, e.e);
    } catch (const peer::AgentError& e) {
        agent_.reset();
        return ErrorReply(
            r.id, Error{peer::ErrorCode(peer::PeerError::AgentFailed), e.what(), json::object()});
    } catch (const std::exception& e) {
        return ErrorReply(
            r.id, Error{peer::ErrorCode(peer::PeerError::InternalError), e.what(), json::object()});
    }
    return ErrorReply(r.id, Error{peer::ErrorCode(peer::PeerError::InternalError),
                                  "unhandled command", json::object()});
}

} // namespace host
