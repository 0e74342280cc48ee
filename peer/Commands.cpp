#include "peer/Commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "protocol/Messages.h"
#include "openssl_owned.h"
#include "peer/Cms.h"
#include "peer/LoginRule.h"
#include "peer/ModuleView.h"
#include "peer/OutputFile.h"
#include "peer/PeerConfig.h"
#include "peer/ReaderChoice.h"
#include "peer/Script.h"
#include "peer/TokenRequests.h"
#include "peer/Translate.h"
#include "platform/codepage.h"
#include "platform/secure_memory.h"
#include "platform/terminal.h"
#include "protocol/Base64.h"
#include "protocol/Frames.h"
#include "protocol/Mechanisms.h"
#include "protocol/ResultCodes.h"
#include "record/CertDates.h"
#include "record/CertRecord.h"

namespace peer {

namespace {

using Failure = PeerFailure;

// Standard output is checked once written: a result that did not reach it is a failure.
void Print(const CommandOptions& options, const nlohmann::json& object, const std::string& text) {
    WriteStandardOutput((options.json ? ToLine(object) : text) + "\n");
}

// The agent's own text after a message: its readers are Chinese, so it is shown to those who
// read Chinese and, with --verbose, to anyone.
std::string AgentTextSuffix(bool show, const std::string& agentText) {
    return show && !agentText.empty() ? " (agent: " + agentText + ")" : std::string();
}

void Warn(const std::string& text) {
    std::cerr << "tessivo-peer: " << Tr("warning: ") << text << std::endl;
}

// `token`: the token's label, named in the prompt so that the holder knows which PIN is meant.
std::string ReadPin(const CommandOptions& options, const std::string& token = {}) {
    std::string pin;
    if (options.pinStdin) {
        if (!plat::ReadStandardInputLine(pin)) {
            throw Failure(PeerError::File, Tr("no PIN on standard input"));
        }
        if (!pin.empty() && pin.back() == '\r') {
            pin.pop_back();
        }
        return pin;
    }
    const std::string prompt = token.empty() ? Tr("PIN: ") : Tr("PIN for %s: ", token);
    if (!plat::ReadSecretLine(prompt, pin)) {
        throw Failure(PeerError::Usage, Tr("no terminal to read the PIN from (use --pin-stdin)"));
    }
    return pin;
}

void Wipe(std::string& secret) {
    plat::WipeString(secret);
}

// The agent turns the PIN into ANSI code-page bytes, at most 63 of them, and a character the
// code page lacks becomes '?': such a PIN would cost the card a try, so it is refused before it
// is sent.
void CheckPinFits(const std::string& pin) {
    if (pin.empty()) {
        throw Failure(PeerError::PinIncorrect, Tr("the PIN is empty; nothing was sent"));
    }
    // The agent reads the PIN as a C string: a NUL would cut it short.
    if (pin.find('\0') != std::string::npos) {
        throw Failure(PeerError::PinIncorrect,
                      Tr("the PIN holds a NUL character; nothing was sent"));
    }
    std::u16string wide = Utf8ToU16(pin);
    const int size = wide.empty()
                         ? 0
                         : plat::WideToMultiByte(plat::kCpAcp, 0, wide.data(),
                                                 static_cast<int>(wide.size()), nullptr, 0);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        plat::WideToMultiByte(plat::kCpAcp, 0, wide.data(), static_cast<int>(wide.size()),
                              narrow.data(), size);
    }
    std::u16string back(wide.size() + 1, u'\0');
    const int units =
        narrow.empty()
            ? 0
            : plat::MultiByteToWide(plat::kCpAcp, 0, narrow.data(), static_cast<int>(narrow.size()),
                                    back.data(), static_cast<int>(back.size()));
    back.resize(static_cast<std::size_t>(units > 0 ? units : 0));
    const bool fits = back == wide && narrow.size() <= 63;
    plat::WipeString(narrow);
    plat::WipeString(back);
    plat::WipeString(wide);
    if (!fits) {
        throw Failure(PeerError::PinIncorrect,
                      Tr("the PIN is not UTF-8 text of at most 63 bytes in the agent's code page "
                         "%s; nothing was sent (see --help on the PIN)",
                         std::to_string(plat::AnsiCodePage())));
    }
}

// A failed step of the module view, as the command reports it.
void CheckView(const tessivo::Status& status, const std::string& error) {
    if (!status.Ok()) {
        throw Failure(ModuleViewError(status), error);
    }
}

// The module's slots, from a view opened now.
std::vector<SlotView> ViewSlots(ModuleView& view, const std::string& path) {
    std::string error;
    CheckView(view.Open(path, error), error);
    std::vector<SlotView> slots;
    CheckView(view.Slots(slots, error), error);
    return slots;
}

// What a failed login's status means to the user, and how the command exits.
Failure LoginFailure(std::uint32_t status, const std::string& agentText, const std::string& reader,
                     const std::string& pinState) {
    const auto withState = [&](const std::string& cause) {
        return pinState.empty() ? cause : cause + "; " + pinState;
    };
    switch (status & 0xFFFF) {
    case tessivo::kPinIncorrect:
        return Failure(PeerError::PinIncorrect, withState(Tr("wrong PIN")), agentText);
    case tessivo::kPinInvalid:
        return Failure(PeerError::PinIncorrect,
                       withState(Tr("the card refuses the PIN's characters")), agentText);
    case tessivo::kPinLenRange:
        return Failure(PeerError::PinIncorrect, withState(Tr("the PIN's length is out of range")),
                       agentText);
    case tessivo::kPinLocked:
        return Failure(PeerError::PinLocked, Tr("the PIN is locked: unblock it with the PUK"),
                       agentText);
    case tessivo::kPinExpired:
        return Failure(PeerError::PinLocked,
                       Tr("the PIN has expired: change it with the card's own tools"), agentText);
    case tessivo::kTokenNotPresent:
        return Failure(PeerError::NoCard, Tr("no card in %s", reader), agentText);
    default:
        return Failure(PeerError::Failed, withState(Tr("login failed")), agentText);
    }
}

// A URI's id and object must be those of the certificate the login signs with (its key has
// the same id and, on cards made by the usual tools, the same label); anything else would be
// a signature by another key than the one named.
void CheckNamedObject(const ReaderQuery& query, const std::string& name,
                      const std::vector<PublicCertificate>& certificates, const LoginCheck& check) {
    const auto& named = query.objectAttributes;
    const auto id = named.find("id");
    const auto object = named.find("object");
    if (id == named.end() && object == named.end()) {
        return;
    }
    if (!check.signature) {
        throw Failure(PeerError::NoReader,
                      Tr("%s names an object, but the card in %s shows no certificate before its "
                         "PIN to compare it with",
                         query.given, name));
    }
    const PublicCertificate& signing = certificates[*check.signature];
    const bool idMatches =
        id == named.end() ||
        std::vector<std::uint8_t>(id->second.begin(), id->second.end()) == signing.id;
    const bool labelMatches = object == named.end() || object->second == signing.label;
    if (!idMatches || !labelMatches) {
        throw Failure(PeerError::NoReader,
                      Tr("%s names another object than the agent signs with; the agent signs "
                         "with the key of the certificate %s",
                         query.given, DescribeCertificate(check.certificates[*check.signature])));
    }
}

// A card the agent's login cannot use: what is missing, and every certificate the card shows.
Failure CardUnusable(const std::string& name, const LoginCheck& check) {
    std::string message = Tr("the card in %s holds no certificate the agent can sign with.", name) +
                          " " + check.missing + " " + Tr("Certificates on the card:");
    for (const CertificateFacts& facts : check.certificates) {
        message += "\n  " + DescribeCertificate(facts);
    }
    return Failure(PeerError::CardUnusable, message);
}

// The reader given, else the configuration file's.
std::string ReaderOrDefault(const std::string& given);

// A token read through the module view alone, without the agent: what the card shows before
// its PIN.
struct ViewedToken {
    ModuleView view;
    ReaderQuery query;
    SlotView slot;
    std::string name; // the reader's description as the user reads it
    std::vector<PublicCertificate> certificates;
    LoginCheck check;

    // `requireCertificates` false: a module that cannot list the certificates leaves the list
    // empty instead of failing, as for a card that shows none.
    ViewedToken(const SessionOptions& session, const CommandOptions& options,
                bool requireCertificates = true)
        : query(ParseReader(ReaderOrDefault(options.reader))) {
        const std::string path =
            AgentModulePath(RequestedModule(session.modulePath, query), session.agentPath);
        slot = ChooseReader(ViewSlots(view, path), query);
        name = ModuleTextToUtf8(slot.description);
        if (!slot.tokenPresent) {
            throw Failure(PeerError::NoCard, Tr("no card in %s", name));
        }
        std::string error;
        const tessivo::Status read = view.PublicCertificates(slot.id, certificates, error);
        if (!read.Ok()) {
            if (requireCertificates) {
                CheckView(read, error);
            }
            certificates.clear();
        }
        check = CheckLoginRule(certificates);
    }
};

// A certificate's time as ISO 8601 text ("2036-01-01T00:00:00Z").
std::string IsoTime(const ASN1_TIME* time) {
    struct tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::string IssuerText(X509* cert) {
    const ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_issuer_name(cert), 0,
                                   XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string ReaderOrDefault(const std::string& given) {
    if (!given.empty()) {
        return given;
    }
    const PeerConfig config = ReadPeerConfig();
    if (config.reader.empty()) {
        throw Failure(PeerError::Usage,
                      Tr("no READER given, and no configuration file names one (reader = ...)"));
    }
    return config.reader;
}

// The record the agent answers MWM_CERTINF with after a login, built here from the signature
// certificate the card shows without its PIN. Empty when only a login can tell: the card shows
// no certificate before its PIN (they are private), or not one the library reads.
std::optional<CertinfoReply> CertinfoWithoutPin(const SessionOptions& session,
                                                const CommandOptions& options) {
    const ViewedToken token(session, options, false);
    if (token.check.verdict == CardVerdict::Unusable) {
        throw CardUnusable(token.name, token.check); // the login would describe nothing
    }
    if (!token.check.signature) {
        return std::nullopt;
    }
    CheckNamedObject(token.query, token.name, token.certificates, token.check);
    const std::optional<tessivo::CertRecord> built =
        tessivo::BuildCertRecord(token.certificates[*token.check.signature].der);
    if (!built) {
        return std::nullopt;
    }
    // The login's own rule: valid through the whole local day of the not-after date.
    if (tessivo::IsCertExpired(built->notAfter, static_cast<std::int64_t>(std::time(nullptr)))) {
        Warn(Tr("the signing certificate has expired"));
    }
    return CertinfoReply{0, U16ToUtf8(built->record)};
}

// The agent, started at once and made ready for requests when the first one is due: whatever
// the command does in between (hashing its data, looking the reader up in the module) runs
// while the agent starts.
class CommandSession {
public:
    CommandSession(SessionOptions session, const CommandOptions& options)
        : query_(ParseReader(ReaderOrDefault(options.reader))) {
        session.modulePath = RequestedModule(session.modulePath, query_);
        modulePath_ = AgentModulePath(session.modulePath, session.agentPath);
        session.modulePath = modulePath_; // the agent loads what the view shows
        std::string error;
        if (!session_.Launch(session, error)) {
            throw Failure(PeerError::AgentFailed, error);
        }
    }

    // Looks the reader up in the module (the one load of the module in this process for the
    // whole command), reads the card's public certificates and applies the login rule to them
    // for the check before the PIN, all while the agent starts; then waits for the agent.
    void Ready() {
        if (ready_) {
            return;
        }
        SlotView found = ChooseReader(ViewSlots(view_, modulePath_), query_);
        if (found.tokenPresent) {
            certificatesRead_ =
                view_.PublicCertificates(found.id, certificates_, certificatesError_).Ok();
        }
        if (certificatesRead_) {
            loginCheck_ = CheckLoginRule(certificates_); // judged once the card is confirmed
        }
        // Converted now rather than after the wait: the first conversion loads a converter.
        agentReaderText_ = AgentReaderText(found.description);
        std::string error;
        if (!session_.WaitWindow(error) || !session_.WaitReady(error)) {
            throw Failure(PeerError::AgentFailed, error);
        }
        reader_ = found;
        name_ = ModuleTextToUtf8(reader_.description);
        ready_ = true;
    }

    TokenRequests& Requests() {
        Ready();
        return requests_;
    }

    // Selects the reader; the card request's object once a card is in it.
    CardReply SelectCard() {
        Ready();
        requests_.Slot(agentReaderText_);
        CardReply card = requests_.Card();
        if (card.result != 0) {
            throw Failure(PeerError::AgentFailed, Tr("the agent did not answer the card request"));
        }
        if (card.noCard) {
            throw Failure(PeerError::NoCard, Tr("no card in %s", name_));
        }
        if (!query_.objectAttributes.empty()) {
            CheckCardBeforePin(); // a URI's object is never ignored, even where nothing signs
        }
        return card;
    }

    // Selects the reader and logs in; the login's object, certificate included. The PIN is
    // asked for only once a card is known to be there and its PIN is not locked.
    // `given`: a PIN read already (from standard input before the data that follows it).
    // `refuseExpired`: an expired signing certificate ends the command instead of a warning.
    LoginReply SelectAndLogin(const CommandOptions& options, bool refuseExpired,
                              std::string* given = nullptr) {
        SelectCard();
        const std::uint64_t flags = TokenFlags();
        if (PinStateOf(flags) == PinState::Locked) {
            throw Failure(
                PeerError::PinLocked,
                Tr("the PIN of the card in %s is locked: unblock it with the PUK", name_));
        }
        CheckCardBeforePin();
        LoginReply login;
        if (HasPinPad(flags)) {
            std::cerr << "tessivo-peer: " << Tr("enter the PIN on the reader's pad") << std::endl;
            login = requests_.LoginOnPad();
        } else {
            const std::string warning = PinStateText(PinStateOf(flags));
            if (!warning.empty()) {
                std::cerr << "tessivo-peer: " << warning << std::endl;
            }
            std::string pin = given != nullptr ? std::move(*given)
                                               : ReadPin(options, ModuleTextToUtf8(reader_.label));
            CheckPinFits(pin);
            login = requests_.Login(pin);
            Wipe(pin);
        }
        if (login.result != 0) {
            throw Failure(PeerError::AgentFailed, Tr("the agent did not answer the login"));
        }
        if (login.error) {
            loggedIn_ = true; // the card is logged in all the same
            throw Failure(PeerError::AgentFailed, *login.error);
        }
        const std::uint32_t status = login.status;
        const std::string text = login.text;
        loggedIn_ = status == 0 || status == tessivo::kStatusExpired;
        if (status == tessivo::kStatusNoReader) {
            throw Failure(PeerError::NoReader, Tr("the agent does not know the reader %s", name_),
                          text);
        }
        if (status == tessivo::kStatusExpired) {
            if (refuseExpired) {
                throw Failure(PeerError::CertExpired,
                              Tr("the signing certificate has expired (--allow-expired signs "
                                 "anyway)"),
                              text);
            }
            Warn(Tr("the signing certificate has expired") +
                 AgentTextSuffix(options.showAgentText, text));
        } else if (status != 0) {
            // What the card says of its PIN now: tries left, or locked.
            throw LoginFailure(status, text, name_, PinStateText(PinStateOf(TokenFlags())));
        }
        if (login.infoLength == 0) {
            // The login stands, but whatever certificate came back belongs to no login of this
            // card.
            throw Failure(PeerError::Failed,
                          Tr("the card in %s has no signature certificate", name_));
        }
        return login;
    }

    void Logout() {
        loggedIn_ = false;
        requests_.Logout();
    }

    // Whatever ends a command after a successful login, the card is logged out. The agent is
    // then asked to end, and ends while this process lets its own view of the module go.
    ~CommandSession() {
        if (loggedIn_ && session_.Alive()) {
            try {
                requests_.Logout();
            } catch (const std::exception&) {
            }
        }
        session_.RequestExit();
    }

private:
    // A card whose public certificates show that the agent's login cannot use it is refused
    // before its PIN is asked: the login would spend a try and then sign nothing. A card that
    // shows no certificate without its PIN cannot be judged, and goes on to the login.
    void CheckCardBeforePin() {
        if (cardChecked_) {
            return;
        }
        cardChecked_ = true;
        const std::vector<PublicCertificate>& certificates = certificates_;
        if (!certificatesRead_) {
            if (!query_.objectAttributes.empty()) {
                throw Failure(PeerError::NoReader,
                              Tr("%s names an object, but %s", query_.given, certificatesError_));
            }
            return; // the login reports what is wrong with the card
        }
        const LoginCheck& check = loginCheck_;
        if (check.verdict != CardVerdict::Unusable) {
            CheckNamedObject(certificates, check);
            return;
        }
        throw CardUnusable(name_, check);
    }

    void CheckNamedObject(const std::vector<PublicCertificate>& certificates,
                          const LoginCheck& check) const {
        peer::CheckNamedObject(query_, name_, certificates, check);
    }

    // The token flags of the card in the chosen reader, read now (0 when they cannot be read).
    std::uint64_t TokenFlags() const {
        std::vector<SlotView> slots;
        std::string error;
        if (!view_.Slots(slots, error).Ok()) {
            return 0;
        }
        for (const SlotView& slot : slots) {
            if (slot.id == reader_.id) {
                return slot.tokenPresent ? slot.tokenFlags : 0;
            }
        }
        return 0;
    }

    ReaderQuery query_;
    std::string modulePath_;
    AgentSession session_;
    TokenRequests requests_{session_};
    ModuleView view_; // before the agent's end is waited for
    SlotView reader_;
    std::u16string agentReaderText_; // the description as the agent reads it
    std::string name_;               // the reader's description as the user reads it
    bool ready_ = false;
    bool loggedIn_ = false;
    bool cardChecked_ = false;
    // What the card showed without its PIN when the command started.
    bool certificatesRead_ = false;
    std::vector<PublicCertificate> certificates_;
    LoginCheck loginCheck_; // the login rule applied to them, while the agent starts
    std::string certificatesError_ = Tr("the reader had no card when the command started");
};

std::vector<unsigned char> DecodeBase64(const std::string& text) {
    std::string clean;
    for (char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '+' || c == '/' || c == '=') {
            clean.push_back(c);
        }
    }
    if (clean.size() % 4 != 0) {
        return {};
    }
    std::vector<unsigned char> out(clean.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0) {
        return {};
    }
    std::size_t padding = 0;
    for (auto it = clean.rbegin(); it != clean.rend() && *it == '='; ++it) {
        ++padding;
    }
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

std::string ToPem(const std::vector<unsigned char>& der) {
    const unsigned char* p = der.data();
    const ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    const ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!cert || !bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) {
        throw Failure(PeerError::Failed, Tr("the agent's certificate cannot be read"));
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

// The data to sign: standard input, or a regular file that can be read (checked before any PIN
// is asked for).
class DataSource {
public:
    // "-" is standard input, as for other tools.
    explicit DataSource(const CommandOptions& options)
        : name_(options.file == "-" ? std::string() : options.file) {
        if (name_.empty()) {
            return;
        }
        std::error_code error;
        if (std::filesystem::is_directory(std::filesystem::u8path(name_), error)) {
            throw Failure(PeerError::File,
                          Tr("%s is a directory, not a file to sign", options.file));
        }
        errno = 0;
        file_.open(std::filesystem::u8path(name_), std::ios::binary);
        if (!file_) {
            throw Failure(PeerError::File,
                          Tr("cannot read %s", options.file) + ": " + SystemReason());
        }
    }
    std::istream& Stream() { return name_.empty() ? std::cin : file_; }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    std::ifstream file_;
};

// The most data a mechanism that is not a digest can take: its Base64 text and the 6-byte
// header fill the request channel at most.
constexpr std::size_t kMaxWholeData = (kChannelSize - tessivo::kSignHeaderSize) / 4 * 3;

std::string ReadWhole(DataSource& source) {
    std::string data(std::istreambuf_iterator<char>(source.Stream()),
                     std::istreambuf_iterator<char>{});
    if (data.size() > kMaxWholeData) {
        throw Failure(PeerError::File,
                      Tr("the data is too large for this mechanism (at most %s bytes); a digest "
                         "mechanism signs data of any size",
                         std::to_string(kMaxWholeData)));
    }
    return data;
}

// The hash of everything the source holds, read in pieces so that memory stays flat.
std::vector<std::uint8_t> HashStream(DataSource& source, tessivo::HashAlgorithm algorithm) {
    const EVP_MD* md = EVP_get_digestbyname(tessivo::HashOpenSslName(algorithm));
    const ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (md == nullptr || !ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        throw Failure(PeerError::Failed, Tr("cannot hash the data"));
    }
    std::vector<char> chunk(1 << 16);
    std::istream& in = source.Stream();
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        if (in.gcount() > 0 &&
            EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(in.gcount())) != 1) {
            throw Failure(PeerError::Failed, Tr("cannot hash the data"));
        }
    }
    if (in.bad()) {
        throw Failure(PeerError::File,
                      (source.Name().empty() ? Tr("cannot read standard input")
                                             : Tr("cannot read %s", source.Name())) +
                          ": " + SystemReason());
    }
    std::vector<std::uint8_t> hash(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), hash.data(), &length) != 1) {
        throw Failure(PeerError::Failed, Tr("cannot hash the data"));
    }
    hash.resize(length);
    return hash;
}

std::vector<std::uint8_t> DigestOf(const EVP_MD* md, const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> hash(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (md == nullptr || EVP_Digest(data, size, hash.data(), &length, md, nullptr) != 1) {
        throw Failure(PeerError::Failed, Tr("cannot hash the signed attributes"));
    }
    hash.resize(length);
    return hash;
}

// The Base64 text between the element's tags.
std::string ElementContent(const std::string& element) {
    const std::string open = "<SignatureValue>";
    const std::string close = "</SignatureValue>";
    const std::size_t from = element.find(open);
    const std::size_t to = element.rfind(close);
    if (from == std::string::npos || to == std::string::npos || to < from + open.size()) {
        return {};
    }
    return element.substr(from + open.size(), to - from - open.size());
}

template <class Body> int Guarded(const CommandOptions& options, Body body) {
    try {
        return body();
    } catch (const Failure& f) {
        return ReportFailure(f, options.json, options.showAgentText);
    } catch (const AgentError& e) {
        return ReportFailure(Failure(PeerError::AgentFailed, e.what()), options.json,
                             options.showAgentText);
    } catch (const std::exception& e) {
        return ReportFailure(Failure(PeerError::Failed, e.what()), options.json,
                             options.showAgentText);
    }
}

// The record's attribute names: a value ends at the apostrophe that one of them follows.
const char* const kRecordNames[] = {
    "EMAIL",   "Usage",     "SerialNo",       "SubjectDN",    "IssuerDN",      "BeginDate",
    "EndDate", "ForSign",   "ForEncrypt",     "OID",          "Type",          "TypeString",
    "ID",      "Ext",       "HolderRank",     "GroupID",      "CertTypeID",    "UID",
    "CardID",  "CAIssuers", "AuthorityKeyId", "SubjectKeyId", "SignAlgorithm", "Policy",
    "OCSP",    "CRL"};

// The length of " NAME='" when `record` has it at `at` for a known name, else 0.
std::size_t AttributeStart(const std::string& record, std::size_t at) {
    for (const char* name : kRecordNames) {
        const std::string head = std::string(" ") + name + "='";
        if (record.compare(at, head.size(), head) == 0) {
            return head.size();
        }
    }
    return 0;
}

} // namespace

nlohmann::json RecordFields(const std::string& record) {
    // Values are not escaped: an apostrophe inside one counts as its end only when the next
    // attribute follows it.
    nlohmann::json fields = nlohmann::json::object();
    fields["ID"] = nlohmann::json::array();
    std::size_t at = 0;
    while (at < record.size()) {
        const std::size_t head = AttributeStart(record, at);
        if (head == 0) {
            break; // not a record of this form: what was read stands
        }
        const std::string name = record.substr(at + 1, head - 3);
        const std::size_t from = at + head;
        std::size_t end = from;
        while (true) {
            end = record.find('\'', end);
            if (end == std::string::npos || end + 1 == record.size() ||
                AttributeStart(record, end + 1) != 0) {
                break;
            }
            ++end;
        }
        if (end == std::string::npos) {
            break;
        }
        const std::string value = record.substr(from, end - from);
        if (name == "ID") {
            fields["ID"].push_back(value);
        } else {
            fields[name] = value;
        }
        at = end + 1;
    }
    if (fields["ID"].empty()) {
        fields.erase("ID");
    }
    return fields;
}

int ReportFailure(const PeerFailure& failed, bool json, bool showAgentText) {
    std::cerr << "tessivo-peer: " << failed.what()
              << AgentTextSuffix(showAgentText, failed.agentText) << std::endl;
    const int status = ExitStatus(failed.kind);
    if (json) {
        nlohmann::json error = {
            {"code", ErrorCode(failed.kind)}, {"message", failed.what()}, {"exit", status}};
        if (!failed.agentText.empty()) {
            error["agent"] = failed.agentText;
        }
        std::cout << ToLine({{"error", error}}) << std::endl;
    }
    return status;
}

int RunReaders(const SessionOptions& session, const CommandOptions& options) {
    return Guarded(options, [&] {
        // One line per reader: its description first, then the card in it; with --json one
        // object per reader, in the same order.
        nlohmann::json readers = nlohmann::json::array();
        std::string text;
        ModuleView view;
        const std::string path = AgentModulePath(session.modulePath, session.agentPath);
        for (const SlotView& slot : ViewSlots(view, path)) {
            const std::string name = ModuleTextToUtf8(slot.description);
            nlohmann::json reader = {{"description", name}, {"card", slot.tokenPresent}};
            if (slot.tokenPresent) {
                const std::string label = ModuleTextToUtf8(slot.label);
                const std::string serial = ModuleTextToUtf8(slot.serial);
                reader["label"] = label;
                reader["serial"] = serial;
                reader["pinPad"] = HasPinPad(slot.tokenFlags);
                text += name + "\t" + label + " (" + serial + ")\n";
            } else {
                text += name + "\t" + Tr("(no card)") + "\n";
            }
            readers.push_back(std::move(reader));
        }
        if (options.json) {
            std::cout << ToLine({{"readers", readers}}) << std::endl;
        } else {
            std::cout << text << std::flush;
        }
        return 0;
    });
}

int RunModules(const SessionOptions& session, const CommandOptions& options) {
    return Guarded(options, [&] {
        const std::string used = AgentModulePath(session.modulePath, session.agentPath);
        nlohmann::json list = nlohmann::json::array();
        std::string text;
        for (const RegisteredModule& module : RegisteredModules()) {
            list.push_back({{"name", module.name}, {"file", module.file}});
            text += module.name + "\t" + module.file + "\n";
        }
        text += Tr("used: %s", used) + "\n";
        if (options.json) {
            WriteStandardOutput(ToLine({{"modules", list}, {"used", used}}) + "\n");
        } else {
            WriteStandardOutput(text);
        }
        return 0;
    });
}

int RunVerify(const CommandOptions& options) {
    return Guarded(options, [&] {
        const std::optional<std::uint32_t> mechanism = ParseMechanism(options.mechanism);
        const tessivo::Mechanism* known = mechanism ? tessivo::FindMechanism(*mechanism) : nullptr;
        if (known == nullptr || !known->hash) {
            throw Failure(PeerError::Usage,
                          Tr("verify needs a digest mechanism, not %s", options.mechanism));
        }
        std::string detail;
        const bool ok =
            VerifySignature(options.file, options.signatureFile, options.certificate,
                            EVP_get_digestbyname(tessivo::HashOpenSslName(*known->hash)), detail);
        nlohmann::json out = {{"verified", ok}};
        if (!ok) {
            out["reason"] = detail;
        }
        WriteStandardOutput(options.json ? ToLine(out) + "\n"
                                         : (ok ? Tr("verified") + std::string("\n")
                                               : Tr("not verified: %s", detail) + "\n"));
        return ok ? 0 : 1;
    });
}

int RunCard(const SessionOptions& session, const CommandOptions& options) {
    return Guarded(options, [&] {
        CommandSession agent(session, options);
        const CardReply card = agent.SelectCard();
        Print(options, ToJson(card), card.serial);
        return 0;
    });
}

int RunCertinfo(const SessionOptions& session, const CommandOptions& options) {
    return Guarded(options, [&] {
        // No PIN where the card shows its signature certificate; a login only when it is private.
        std::optional<CertinfoReply> reply = CertinfoWithoutPin(session, options);
        if (!reply) {
            CommandSession agent(session, options);
            agent.SelectAndLogin(options, false);
            reply = agent.Requests().Certinfo();
            agent.Logout();
        }
        nlohmann::json info = ToJson(*reply);
        info["fields"] = RecordFields(reply->record);
        Print(options, info, reply->record);
        return 0;
    });
}

int RunCerts(const SessionOptions& session, const CommandOptions& options) {
    return Guarded(options, [&] {
        const ViewedToken token(session, options);
        nlohmann::json list = nlohmann::json::array();
        std::string text;
        for (std::size_t i = 0; i < token.certificates.size(); ++i) {
            const CertificateFacts& facts = token.check.certificates[i];
            const std::vector<std::uint8_t>& der = token.certificates[i].der;
            const unsigned char* p = der.data();
            const ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
            const bool signing = token.check.signature == i;
            const bool encipherment = token.check.encipherment == i;
            nlohmann::json entry = {{"label", facts.label},        {"id", facts.id},
                                    {"idHex", facts.idHex},        {"keyUsage", facts.keyUsage},
                                    {"subject", facts.subject},    {"signing", signing},
                                    {"encipherment", encipherment}};
            std::string role = signing
                                   ? Tr(" [the agent signs with this one]")
                                   : (encipherment ? Tr(" [the agent's encipherment one]") : "");
            text += DescribeCertificate(facts) + role + "\n";
            if (cert) {
                entry["issuer"] = IssuerText(cert.get());
                entry["notBefore"] = IsoTime(X509_get0_notBefore(cert.get()));
                entry["notAfter"] = IsoTime(X509_get0_notAfter(cert.get()));
                text += Tr("  issuer %s", entry["issuer"].get<std::string>()) + "\n" +
                        Tr("  valid %s to %s", entry["notBefore"].get<std::string>(),
                           entry["notAfter"].get<std::string>()) +
                        "\n";
            }
            list.push_back(std::move(entry));
        }
        const char* verdict =
            token.check.verdict == CardVerdict::Usable
                ? "usable"
                : (token.check.verdict == CardVerdict::Unusable ? "unusable" : "unknown");
        if (token.check.verdict == CardVerdict::Unusable) {
            text += token.check.missing + "\n";
        } else if (token.check.verdict == CardVerdict::Unknown) {
            text += Tr("The card shows no certificate before its PIN.") + std::string("\n");
        }
        nlohmann::json out = {{"certificates", list}, {"verdict", verdict}};
        if (!token.check.missing.empty()) {
            out["missing"] = token.check.missing;
        }
        WriteStandardOutput(options.json ? ToLine(out) + "\n" : text);
        return 0;
    });
}

int RunCert(const SessionOptions& session, const CommandOptions& options) {
    return Guarded(options, [&] {
        {
            // The signature certificate as the card shows it without a PIN; a login only when
            // it is private.
            const ViewedToken token(session, options);
            if (token.check.signature) {
                CheckNamedObject(token.query, token.name, token.certificates, token.check);
                const std::vector<std::uint8_t>& der =
                    token.certificates[*token.check.signature].der;
                const unsigned char* p = der.data();
                const ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
                if (cert && X509_cmp_current_time(X509_get0_notAfter(cert.get())) < 0) {
                    Warn(Tr("the signing certificate has expired"));
                }
                const std::string pem = ToPem(std::vector<unsigned char>(der.begin(), der.end()));
                WriteStandardOutput(options.json ? ToLine({{"certificate", pem}}) + "\n" : pem);
                return 0;
            }
        }
        CommandSession agent(session, options);
        const LoginReply login = agent.SelectAndLogin(options, false);
        agent.Logout();
        const std::string pem = ToPem(DecodeBase64(login.certificate.value_or(std::string())));
        WriteStandardOutput(options.json ? ToLine({{"certificate", pem}}) + "\n" : pem);
        return 0;
    });
}

int RunSign(const SessionOptions& session, const CommandOptions& options) {
    return Guarded(options, [&] {
        const std::optional<std::uint32_t> mechanism = ParseMechanism(options.mechanism);
        if (!mechanism) {
            throw Failure(PeerError::Usage, Tr("unknown mechanism: %s", options.mechanism));
        }
        // A digest mechanism's data is hashed here and its DigestInfo signed with CKM_RSA_PKCS:
        // the same signature, for data of any size. All of it happens before the PIN.
        DataSource source(options);
        // With both on standard input the PIN is its first line and the data the rest.
        std::string pin;
        const bool pinFirst = options.pinStdin && source.Name().empty();
        if (pinFirst) {
            pin = ReadPin(options);
        }
        struct Wiped {
            std::string& secret;
            ~Wiped() { Wipe(secret); }
        } pinGuard{pin};
        std::string data;
        std::uint32_t sentMechanism = *mechanism;
        const tessivo::Mechanism* known = tessivo::FindMechanism(*mechanism);
        const bool cms = options.format == "cms";
        if (cms &&
            (known == nullptr || !known->hash || *known->hash == tessivo::HashAlgorithm::Md5)) {
            throw Failure(PeerError::Usage,
                          Tr("--format cms needs a digest mechanism: sha1, sha224, sha256, sha384 "
                             "or sha512"));
        }
        // Every output is made before the PIN: a folder that cannot take it costs no try.
        std::optional<OutputFile> output;
        if (!options.output.empty()) {
            output.emplace(options.output);
        }
        std::optional<OutputFile> rawOutput;
        if (!options.rawSignature.empty()) {
            rawOutput.emplace(options.rawSignature);
        }
        // The agent starts while the data is read and hashed.
        CommandSession agent(session, options);
        std::vector<std::uint8_t> dataDigest;
        if (known != nullptr && known->hash) {
            dataDigest = HashStream(source, *known->hash);
            const std::vector<std::uint8_t> info = tessivo::DigestInfo(*known->hash, dataDigest);
            data.assign(info.begin(), info.end());
            sentMechanism = tessivo::kRsaPkcs;
        } else {
            data = ReadWhole(source);
        }
        const LoginReply login =
            agent.SelectAndLogin(options, !options.allowExpired, pinFirst ? &pin : nullptr);
        // CMS: the card signs the signed attributes, which carry the data's digest.
        std::optional<CmsSignature> envelope;
        if (cms) {
            const std::vector<unsigned char> certificate =
                DecodeBase64(login.certificate.value_or(std::string()));
            const EVP_MD* md = EVP_get_digestbyname(tessivo::HashOpenSslName(*known->hash));
            envelope.emplace(certificate, md, dataDigest);
            const std::vector<std::uint8_t> attributes = envelope->SignedAttributes();
            const std::vector<std::uint8_t> info = tessivo::DigestInfo(
                *known->hash, DigestOf(md, attributes.data(), attributes.size()));
            data.assign(info.begin(), info.end());
        }
        const SignReply signedReply =
            agent.Requests().Sign(sentMechanism, tessivo::EncodeBase64(data));
        agent.Logout();
        if (signedReply.result != 0) {
            throw Failure(PeerError::Failed, Tr("signing refused"));
        }
        if (signedReply.error) {
            throw Failure(PeerError::AgentFailed, *signedReply.error);
        }
        const std::string& element = signedReply.signature;
        const std::vector<unsigned char> raw = DecodeBase64(ElementContent(element));
        const std::string rawBytes(raw.begin(), raw.end());
        if (rawOutput) {
            rawOutput->Commit(rawBytes);
        }
        std::string formatted;
        if (envelope) {
            const std::vector<std::uint8_t> der =
                envelope->Finish(std::vector<std::uint8_t>(raw.begin(), raw.end()));
            formatted = options.pem ? CmsPem(der) : std::string(der.begin(), der.end());
        } else if (options.format == "raw") {
            formatted = rawBytes;
        } else if (options.format == "base64") {
            formatted = tessivo::EncodeBase64(rawBytes) + "\n";
        } else {
            formatted = element + "\n";
        }
        if (output) {
            output->Commit(formatted);
        }
        if (options.json) {
            Print(options, ToJson(signedReply), element);
        } else if (!output) {
            WriteStandardOutput(formatted);
        }
        return 0;
    });
}

} // namespace peer
