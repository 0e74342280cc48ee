// tessivo-peer: starts an agent and drives it, with a script of requests or one user command.
//   tessivo-peer [--agent PATH] [--module PATH] script [FILE]
//   tessivo-peer [options] readers | card READER | certinfo READER | cert READER
//                         | sign READER --mech NAME [FILE] [--raw-signature OUT]
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
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
            std::cout << peer::ToLine(
                             {{"error", "cannot read " + file + ": " + peer::SystemReason()}})
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

constexpr const char kReaderHelp[] =
    "the reader: its description, its token's label or serial, or a PKCS#11 URI";

constexpr const char kReaderDefaultHelp[] =
    "the reader: its description, its token's label or serial, or a PKCS#11 URI (default: the "
    "configuration file's reader)";

constexpr const char kHelpFooter[] = R"help(READER
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
  is an error that lists the readers or the matches.

CARDS
  The agent's login takes two certificates from the card: the signature certificate (the
  object with id "SIGN", else the first certificate whose key usage is digitalSignature alone)
  and the encipherment certificate (id "KEYX", else the first whose key usage is
  keyEncipherment and dataEncipherment alone). A card without both cannot sign through the
  agent. Before asking the PIN, tessivo-peer reads the certificates the card shows without it
  and refuses such a card (exit 11), naming what is missing and listing the certificates found,
  so no PIN try is spent on it.

MODULE
  The PKCS#11 module is --module, else a URI's module-path or module-name, else (Linux)
  TESSIVO_PKCS11_MODULE, else the configuration file's, else the card vendor's module when the
  system finds it, else p11-kit's proxy, which offers every module registered with p11-kit
  (`modules` lists them). The agent loads the same module.

CONFIGURATION (Linux)
  $XDG_CONFIG_HOME/tessivo/peer.conf (~/.config/tessivo/peer.conf), else
  /etc/tessivo/peer.conf: lines "module = PATH" and "reader = READER" ('#' starts a comment).
  The reader is used by card, cert, certinfo and certs when none is given.

PIN
  The PIN is read from the terminal without echo, or with --pin-stdin from the first line of
  standard input, as UTF-8. The agent hands it to the card in the ANSI code page (Windows: the
  system's; Linux: 950, Big5, unless TESSIVO_ACP names another), at most 63 bytes. A PIN of
  ASCII digits and letters reaches the card as typed. A PIN that is empty, that has characters
  the code page lacks, or that is too long is refused before anything is sent, so it costs no
  try. A card whose PIN was set as UTF-8 bytes needs the code page 65001: TESSIVO_ACP=65001
  on Linux, "Use Unicode UTF-8 for worldwide language support" in the Windows region settings.
  A reader with its own PIN pad takes the PIN on its keypad.

EXIT STATUS
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
  agent was lost, 10 when the script cannot be read.

ERRORS
  One line on standard error, "tessivo-peer: MESSAGE (agent: TEXT)": in English, or in
  Traditional Chinese under a zh_TW locale (LANGUAGE, LC_ALL, LC_MESSAGES or LANG); the agent's
  own (Chinese) text beside it when the failure came from the agent, with --verbose or in a zh
  locale. With --json the failure is also printed on standard output as one object (its codes
  and names never translated):
    {"error":{"code":"pin-incorrect","message":"wrong PIN","exit":6,"agent":"..."}}
  code is one of failed, usage, module-failed, no-reader, no-card, pin-incorrect, pin-locked,
  certificate-expired, agent-failed, file, card-unusable. `certinfo --json` adds "fields": the record's
  attributes as keys ("ID" is a list).)help";

void AddPinOption(CLI::App* command, peer::CommandOptions& options) {
    command->add_flag("--pin-stdin", options.pinStdin,
                      "read the PIN from the first line of standard input");
}

} // namespace

int main(int argc, char** argv) {
    // OpenSSL's clean-up at exit frees nothing that the end of the process would not.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    plat::KeepMemoryPrivate(); // it handles PINs
    peer::InitTranslations();
    CLI::App app{"Starts a Tessivo agent and sends it requests."};
    app.set_version_flag("--version", "tessivo-peer " TESSIVO_VERSION);
    app.footer(kHelpFooter);
    peer::SessionOptions options;
    peer::CommandOptions command;
    options.agentPath = peer::DefaultAgentPath();
    app.add_option("--agent", options.agentPath, "the agent program");
    app.add_option("--module", options.modulePath, "the PKCS#11 module the agent loads");
    app.add_flag("--json", command.json, "print the requests' JSON objects");
    app.add_flag("--verbose", options.showAgentLines,
                 "show the agent's console lines on standard error (they include the signed data)");
    double timeoutS = options.sendTimeoutMs / 1000.0;
    CLI::Option* timeout =
        app.add_option("--timeout", timeoutS,
                       "seconds a request may take before the agent is given up (PIN-pad readers "
                       "need time)")
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    // Only a finite number of seconds in range: "nan" and "inf" read as numbers.
                    char* end = nullptr;
                    const double value = std::strtod(text.c_str(), &end);
                    if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(value) ||
                        value < 0.1 || value > 86400.0) {
                        return "a number of seconds from 0.1 to 86400 is needed, not " + text;
                    }
                    return {};
                },
                "SECONDS"))
            ->capture_default_str();
    app.require_subcommand(1);

    std::string file;
    CLI::App* script = app.add_subcommand("script", "run requests from FILE or standard input");
    script->add_option("FILE", file, "the script (default: standard input)");

    CLI::App* readers = app.add_subcommand("readers", "list the card readers");
    CLI::App* modules = app.add_subcommand(
        "modules", "list the PKCS#11 modules registered with p11-kit and the one used");
    CLI::App* card = app.add_subcommand("card", "print the serial number of the card in READER");
    card->add_option("READER", command.reader, kReaderDefaultHelp);
    CLI::App* certinfo = app.add_subcommand(
        "certinfo", "print the signature certificate's record, logging in only when the card "
                    "keeps the certificate private");
    certinfo->add_option("READER", command.reader, kReaderDefaultHelp);
    AddPinOption(certinfo, command);
    CLI::App* certs = app.add_subcommand(
        "certs", "list the certificates the token in READER shows without its PIN");
    certs->add_option("READER", command.reader, kReaderDefaultHelp);
    CLI::App* cert = app.add_subcommand(
        "cert", "print the signature certificate (PEM), logging in only when the card keeps it "
                "private");
    cert->add_option("READER", command.reader, kReaderDefaultHelp);
    AddPinOption(cert, command);
    CLI::App* sign = app.add_subcommand("sign", "log in and sign FILE or standard input");
    sign->add_option("READER", command.reader, kReaderHelp)->required();
    sign->add_option("FILE", command.file, "the data (default: standard input)");
    sign->add_option("--mech", command.mechanism,
                     "raw, md5, sha1, sha224, sha256, sha384, sha512 or a number")
        ->capture_default_str();
    sign->add_option("--raw-signature", command.rawSignature,
                     "also write the bare signature bytes to this file");
    sign->add_option("--output,-o", command.output,
                     "write the signature to this file instead of standard output (written "
                     "whole or not at all)");
    sign->add_option("--format", command.format,
                     "xml (the <SignatureValue> element), raw (the bare bytes), base64, or cms "
                     "(a detached CMS SignedData with the signer's certificate, DER)")
        ->check(CLI::IsMember({"xml", "raw", "base64", "cms"}))
        ->capture_default_str();
    sign->add_flag("--pem", command.pem, "with --format cms: PEM text instead of DER");
    sign->add_flag("--allow-expired", command.allowExpired,
                   "sign even when the signing certificate has expired");
    AddPinOption(sign, command);

    CLI::App* verify = app.add_subcommand(
        "verify", "check a CMS or bare signature of DATA offline (exit 0 verified, 1 not)");
    verify->add_option("DATA", command.file, "the signed data")->required();
    verify
        ->add_option("SIGNATURE", command.signatureFile,
                     "a CMS SignedData (DER or PEM), or a bare signature (bytes, Base64 or "
                     "<SignatureValue>)")
        ->required();
    verify->add_option("--certificate", command.certificate,
                       "the signer's certificate (PEM or DER); a bare signature needs it");
    verify->add_option("--mech", command.mechanism, "a bare signature's digest")
        ->capture_default_str();

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
                                         {"message", e.what()},
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
