// tessivo-peer: starts an agent and drives it, with a script of requests or one user command.
//   tessivo-peer [--agent PATH] [--module PATH] script [FILE]
//   tessivo-peer [options] readers | card READER | certinfo READER | cert READER
//                         | sign READER --mech NAME [FILE] [--raw-signature OUT]
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <openssl/crypto.h>

#include "peer/Commands.h"
#include "peer/ModuleView.h"
#include "peer/OutputFile.h"
#include "peer/PeerError.h"
#include "peer/Script.h"
#include "peer/Session.h"
#include "peer/Translate.h"
#include "peer/TokenRequests.h"
#include "platform/command_line.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "tessivo_version.h"

namespace {

// Exit status: 0 when every line ran, 1 when a line printed an error, 9 when the agent could
// not start or was lost, 10 when the script cannot be read.
int RunScript(const peer::SessionOptions& options, const std::string& file) {
    std::ifstream scriptFile;
    if (!file.empty()) {
        scriptFile.open(std::filesystem::u8path(file));
        if (!scriptFile) {
            std::cout << peer::ToLine({{"error", peer::Tr("cannot read %s", file) + ": " +
                                                     peer::SystemReason()}})
                      << std::endl;
            return peer::ExitStatus(peer::PeerError::File);
        }
    }
    peer::AgentSession session;
    std::string error;
    if (!session.Start(options, error) || !session.WaitReady(error)) {
        std::cout << peer::ToLine({{"error", error}}) << std::endl;
        return peer::ExitStatus(peer::PeerError::AgentFailed);
    }
    peer::ScriptRunner runner(session);
    peer::TokenRequests requests(session);
    peer::AddTokenCommands(runner, requests,
                           peer::AgentModulePath(options.modulePath, options.agentPath));
    if (!runner.Run(file.empty() ? std::cin : scriptFile, std::cout)) {
        return peer::ExitStatus(peer::PeerError::AgentFailed);
    }
    return runner.LineFailed() ? peer::ExitStatus(peer::PeerError::Failed) : 0;
}

const char* const kReaderHelp =
    peer::TrNoop("the reader: its description, its token's label or serial, or a PKCS#11 URI");

const char* const kReaderDefaultHelp =
    peer::TrNoop("the reader: its description, its token's label or serial, or a PKCS#11 URI "
                 "(default: the configuration file's reader)");

// The help's closing sections, each translated whole.
const char* const kHelpSections[] = {
    peer::TrNoop(R"help(READER
  A reader's description, the label or the serial of the token in it (exactly as `readers`
  shows them), or a PKCS#11 URI (RFC 7512) such as
    pkcs11:token=My%20Card;serial=1234
  with the attributes token, serial, manufacturer, model, slot-description, slot-manufacturer
  and slot-id (percent-encoded UTF-8). id, object and type name the object to sign with: the
  agent signs only with the card's signature key, so they must name it or its certificate (the
  id and label of the signature certificate, type private or cert); a URI that names another
  object is refused (exit 4) before the PIN is asked. library-* attributes are accepted and
  choose nothing. module-path=FILE or module-name=NAME (a module registered with p11-kit) in
  the query choose the module, as --module does. What matches no reader, or more than one,
  is an error that lists the readers or the matches.)help"),
    peer::TrNoop(R"help(CARDS
  The agent's login takes two certificates from the card: the signature certificate (the
  object with id "SIGN", else the first certificate whose key usage is digitalSignature alone)
  and the encipherment certificate (id "KEYX", else the first whose key usage is
  keyEncipherment and dataEncipherment alone). A card without both cannot sign through the
  agent. Before asking the PIN, tessivo-peer reads the certificates the card shows without it
  and refuses such a card (exit 11), naming what is missing and listing the certificates found,
  so no PIN try is spent on it.)help"),
    peer::TrNoop(R"help(MODULE
  The PKCS#11 module is --module, else a URI's module-path or module-name, else (Linux)
  TESSIVO_PKCS11_MODULE, else the configuration file's, else the card vendor's module when the
  system finds it, else p11-kit's proxy, which offers every module registered with p11-kit
  (`modules` lists them). The agent loads the same module.)help"),
    peer::TrNoop(R"help(CONFIGURATION (Linux)
  $XDG_CONFIG_HOME/tessivo/peer.conf (~/.config/tessivo/peer.conf), else
  /etc/tessivo/peer.conf: lines "module = PATH" and "reader = READER" ('#' starts a comment).
  The reader is used by card, cert, certinfo and certs when none is given.)help"),
    peer::TrNoop(R"help(PIN
  The PIN is read from the terminal without echo, or with --pin-stdin from the first line of
  standard input, as UTF-8. The agent hands it to the card in the ANSI code page (Windows: the
  system's; Linux: 950, Big5, unless TESSIVO_ACP names another), at most 63 bytes. A PIN of
  ASCII digits and letters reaches the card as typed. A PIN that is empty, that has characters
  the code page lacks, or that is too long is refused before anything is sent, so it costs no
  try. A card whose PIN was set as UTF-8 bytes needs the code page 65001: TESSIVO_ACP=65001
  on Linux, "Use Unicode UTF-8 for worldwide language support" in the Windows region settings.
  A reader with its own PIN pad takes the PIN on its keypad.)help"),
    peer::TrNoop(R"help(EXIT STATUS
   0 success
   1 other failure
   2 usage
   3 the module cannot be loaded or is not a PKCS#11 module
   4 no such reader or token, or more than one matches
   5 no card in the reader
   6 wrong PIN, or a PIN refused before it was sent (empty, not in the code page)
   7 PIN locked, or expired and to be changed
   8 signing certificate expired
   9 the agent failed, died or did not answer in time
  10 input or output file
  11 the card holds no certificate the agent can sign with (see CARDS)
  An expired signing certificate makes `sign` fail (8) unless --allow-expired is given; the
  other commands warn and go on. `script` exits 1 when a line printed an error, 9 when the
  agent was lost, 10 when the script cannot be read.)help"),
    peer::TrNoop(R"help(ERRORS
  One line on standard error, "tessivo-peer: MESSAGE (agent: TEXT)": in English, or in
  Traditional Chinese under a zh_TW locale (LANGUAGE, LC_ALL, LC_MESSAGES or LANG); the agent's
  own (Chinese) text beside it when the failure came from the agent, with --verbose or in a zh
  locale. With --json the failure is also printed on standard output as one object (its codes
  and names never translated):
    {"error":{"code":"pin-incorrect","message":"wrong PIN","exit":6,"agent":"..."}}
  code is one of failed, usage, module-failed, no-reader, no-card, pin-incorrect, pin-locked,
  certificate-expired, agent-failed, file, card-unusable. `certinfo --json` adds "fields": the record's
  attributes as keys ("ID" is a list).)help"),
};

std::string HelpFooter() {
    std::string footer;
    for (const char* section : kHelpSections) {
        footer += (footer.empty() ? "" : "\n\n") + std::string(peer::Tr(section));
    }
    return footer;
}

// CLI11's own words for the mistakes made most often, in the reader's language; the rarer ones
// stay as CLI11 puts them.
std::string ParseErrorText(const CLI::Error& error) {
    const std::string what = error.what();
    struct Form {
        const char* pattern;
        const char* text; // its "%s" take the pattern's groups in turn
    };
    static const Form forms[] = {
        {"A subcommand is required", peer::TrNoop("A subcommand is required")},
        {"(.+) is required", peer::TrNoop("%s is required")},
        {"The following argument was not expected: (.*)",
         peer::TrNoop("The following argument was not expected: %s")},
        {"The following arguments were not expected: (.*)",
         peer::TrNoop("The following arguments were not expected: %s")},
        {"(.+): (.+) not in (\\{.*\\})", peer::TrNoop("%s: %s not in %s")},
        {"(.+): ([0-9]+) required (\\S+) missing", peer::TrNoop("%s: %s required %s missing")},
    };
    for (const Form& form : forms) {
        std::smatch groups;
        if (std::regex_match(what, groups, std::regex(form.pattern))) {
            std::vector<std::string> arguments;
            for (std::size_t i = 1; i < groups.size(); ++i) {
                arguments.push_back(groups[i].str());
            }
            return peer::TrArguments(form.text, arguments);
        }
    }
    return what;
}

// CLI11 lines up the descriptions by bytes: a Chinese label in the left column (three bytes a
// character, two columns wide) would push its description out of line.
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_option(const CLI::Option* option, bool positional) const override {
        const std::string name = make_option_name(option, positional) + make_option_opts(option);
        std::size_t columns = 0;
        for (const char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            if ((byte & 0xC0) != 0x80) {
                columns += byte >= 0xE0 ? 2 : 1;
            }
        }
        std::stringstream out;
        CLI::detail::format_help(out, name, make_option_desc(option),
                                 get_column_width() + name.size() - columns);
        return out.str();
    }
};

void AddPinOption(CLI::App* command, peer::CommandOptions& options) {
    command->add_flag("--pin-stdin", options.pinStdin,
                      peer::Tr("read the PIN from the first line of standard input"));
}

} // namespace

int main(int argc, char** argv) {
    // OpenSSL's clean-up at exit frees nothing that the end of the process would not.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    plat::KeepMemoryPrivate(); // it handles PINs
    peer::InitTranslations();
    CLI::App app{peer::Tr("Starts a Tessivo agent and sends it requests.")};
    // The help's own words, set before the commands are added: these inherit them.
    const auto formatter = std::make_shared<HelpFormatter>();
    app.formatter(formatter);
    for (const char* label :
         {peer::TrNoop("Usage"), peer::TrNoop("OPTIONS"), peer::TrNoop("SUBCOMMAND"),
          peer::TrNoop("Positionals"), peer::TrNoop("REQUIRED")}) {
        formatter->label(label, peer::Tr(label));
    }
    app.option_defaults()->group(peer::Tr("Options"));
    app.group(peer::Tr("Subcommands"));
    app.set_help_flag("-h,--help", peer::Tr("Print this help message and exit"));
    app.set_version_flag("--version", "tessivo-peer " TESSIVO_VERSION,
                         peer::Tr("Display program version information and exit"));
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return ParseErrorText(error) + "\n" +
               peer::Tr("Run with %s for more information.", "--help") + "\n";
    });
    app.footer(HelpFooter());
    peer::SessionOptions options;
    peer::CommandOptions command;
    options.agentPath = peer::DefaultAgentPath();
    app.add_option("--agent", options.agentPath, peer::Tr("the agent program"));
    app.add_option("--module", options.modulePath, peer::Tr("the PKCS#11 module the agent loads"));
    app.add_flag("--json", command.json, peer::Tr("print the requests' JSON objects"));
    app.add_flag(
        "--verbose", options.showAgentLines,
        peer::Tr(
            "show the agent's console lines on standard error (they include the signed data)"));
    double timeoutS = options.sendTimeoutMs / 1000.0;
    CLI::Option* timeout =
        app.add_option(
               "--timeout", timeoutS,
               peer::Tr("seconds a request may take before the agent is given up (PIN-pad readers "
                        "need time)"))
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    // Only a finite number of seconds in range: "nan" and "inf" read as numbers.
                    char* end = nullptr;
                    const double value = std::strtod(text.c_str(), &end);
                    if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(value) ||
                        value < 0.1 || value > 86400.0) {
                        return peer::Tr("a number of seconds from 0.1 to 86400 is needed, not %s",
                                        text);
                    }
                    return {};
                },
                "SECONDS"))
            ->capture_default_str();
    app.require_subcommand(1);

    std::string file;
    CLI::App* script =
        app.add_subcommand("script", peer::Tr("run requests from FILE or standard input"));
    script->add_option("FILE", file, peer::Tr("the script (default: standard input)"));

    CLI::App* readers = app.add_subcommand("readers", peer::Tr("list the card readers"));
    CLI::App* modules = app.add_subcommand(
        "modules", peer::Tr("list the PKCS#11 modules registered with p11-kit and the one used"));
    CLI::App* card =
        app.add_subcommand("card", peer::Tr("print the serial number of the card in READER"));
    card->add_option("READER", command.reader, peer::Tr(kReaderDefaultHelp));
    CLI::App* certinfo = app.add_subcommand(
        "certinfo",
        peer::Tr("print the signature certificate's record, logging in only when the card "
                 "keeps the certificate private"));
    certinfo->add_option("READER", command.reader, peer::Tr(kReaderDefaultHelp));
    AddPinOption(certinfo, command);
    CLI::App* certs = app.add_subcommand(
        "certs", peer::Tr("list the certificates the token in READER shows without its PIN"));
    certs->add_option("READER", command.reader, peer::Tr(kReaderDefaultHelp));
    CLI::App* cert = app.add_subcommand(
        "cert",
        peer::Tr("print the signature certificate (PEM), logging in only when the card keeps it "
                 "private"));
    cert->add_option("READER", command.reader, peer::Tr(kReaderDefaultHelp));
    AddPinOption(cert, command);
    CLI::App* sign = app.add_subcommand("sign", peer::Tr("log in and sign FILE or standard input"));
    sign->add_option("READER", command.reader, peer::Tr(kReaderHelp))->required();
    sign->add_option("FILE", command.file, peer::Tr("the data (default: standard input)"));
    sign->add_option("--mech", command.mechanism,
                     peer::Tr("raw, md5, sha1, sha224, sha256, sha384, sha512 or a number"))
        ->capture_default_str();
    sign->add_option("--raw-signature", command.rawSignature,
                     peer::Tr("also write the bare signature bytes to this file"));
    sign->add_option(
        "--output,-o", command.output,
        peer::Tr("write the signature to this file instead of standard output (written "
                 "whole or not at all)"));
    sign->add_option(
            "--format", command.format,
            peer::Tr("xml (the <SignatureValue> element), raw (the bare bytes), base64, or cms "
                     "(a detached CMS SignedData with the signer's certificate, DER)"))
        ->check(CLI::IsMember({"xml", "raw", "base64", "cms"}))
        ->capture_default_str();
    sign->add_flag("--pem", command.pem, peer::Tr("with --format cms: PEM text instead of DER"));
    sign->add_flag("--allow-expired", command.allowExpired,
                   peer::Tr("sign even when the signing certificate has expired"));
    AddPinOption(sign, command);

    CLI::App* verify = app.add_subcommand(
        "verify",
        peer::Tr("check a CMS or bare signature of DATA offline (exit 0 verified, 1 not)"));
    verify->add_option("DATA", command.file, peer::Tr("the signed data"))->required();
    verify
        ->add_option(
            "SIGNATURE", command.signatureFile,
            peer::Tr("a CMS SignedData (DER or PEM), or a bare signature (bytes, Base64 or "
                     "<SignatureValue>)"))
        ->required();
    verify->add_option(
        "--certificate", command.certificate,
        peer::Tr("the signer's certificate (PEM or DER); a bare signature needs it"));
    verify->add_option("--mech", command.mechanism, peer::Tr("a bare signature's digest"))
        ->capture_default_str();

    // A command's help flag is made before the group of its options is inherited.
    for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        sub->get_help_ptr()->group(peer::Tr("Options"));
    }

    // Arguments as UTF-8 on both platforms, so that a reader's name outside the ANSI code page
    // can be given under Windows.
    plat::UseUtf8Console();
    const std::vector<std::string> args = plat::CommandLineUtf8(argc, argv);
    std::vector<char*> pointers;
    for (const std::string& arg : args) {
        pointers.push_back(const_cast<char*>(arg.c_str()));
    }
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        // Help is a success; every other parse failure is a usage error (2), not CLI11's own
        // numbers.
        const int printed = app.exit(e);
        if (printed == 0) {
            return 0;
        }
        if (command.json) {
            std::cout << peer::ToLine({{"error",
                                        {{"code", peer::ErrorCode(peer::PeerError::Usage)},
                                         {"message", ParseErrorText(e)},
                                         {"exit", 2}}}})
                      << std::endl;
        }
        return peer::ExitStatus(peer::PeerError::Usage);
    }
    // The agent's text is Chinese: beside a failure for those who read it, or when asked for.
    command.showAgentText = options.showAgentLines || peer::ChineseMessages();
    options.sendTimeoutMs = static_cast<std::uint32_t>(timeoutS * 1000.0);
    if (timeout->count() > 0) {
        // The agent's start is waited for no longer than any request.
        options.windowTimeoutMs = options.sendTimeoutMs;
    }
    if (*script) {
        return RunScript(options, file);
    }
    if (*readers) {
        return peer::RunReaders(options, command);
    }
    if (*verify) {
        return peer::RunVerify(command);
    }
    if (*modules) {
        return peer::RunModules(options, command);
    }
    if (*card) {
        return peer::RunCard(options, command);
    }
    if (*certinfo) {
        return peer::RunCertinfo(options, command);
    }
    if (*cert) {
        return peer::RunCert(options, command);
    }
    if (*certs) {
        return peer::RunCerts(options, command);
    }
    return peer::RunSign(options, command);
}
