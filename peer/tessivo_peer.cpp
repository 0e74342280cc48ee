// tessivo-peer: starts an agent and drives it, with a script of requests or one user command.
//   tessivo-peer [--agent PATH] [--module PATH] script [FILE]
//   tessivo-peer [options] readers | card READER | certinfo READER | cert READER
//                         | sign READER --mech NAME [FILE] [--raw-signature OUT]
#include <filesystem>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "peer/Commands.h"
#include "peer/ModuleView.h"
#include "peer/Script.h"
#include "peer/Session.h"
#include "peer/TokenRequests.h"
#include "platform/process.h"
#include "tessivo_version.h"

namespace {

int run_script(const peer::session_options& options, const std::string& file) {
    std::ifstream script_file;
    if (!file.empty()) {
        script_file.open(file);
        if (!script_file) {
            std::cout << peer::to_line({{"error", "cannot read " + file}}) << std::endl;
            return 2;
        }
    }
    peer::agent_session session;
    std::string error;
    if (!session.start(options, error) || !session.wait_ready(error)) {
        std::cout << peer::to_line({{"error", error}}) << std::endl;
        return 1;
    }
    peer::script_runner runner(session);
    peer::token_requests requests(session);
    peer::add_token_commands(runner, requests,
                             peer::agent_module_path(options.module_path, options.agent_path));
    return runner.run(file.empty() ? std::cin : script_file, std::cout) ? 0 : 1;
}

void add_pin_option(CLI::App* command, peer::command_options& options) {
    command->add_flag("--pin-stdin", options.pin_stdin,
                      "read the PIN from the first line of standard input");
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Starts a Tessivo agent and sends it requests."};
    app.set_version_flag("--version", "tessivo-peer " TESSIVO_VERSION);
    peer::session_options options;
    peer::command_options command;
    options.agent_path = peer::default_agent_path();
    app.add_option("--agent", options.agent_path, "the agent program");
    app.add_option("--module", options.module_path, "the PKCS#11 module the agent loads");
    app.add_flag("--json", command.json, "print the requests' JSON objects");
    app.add_flag("--verbose", options.show_agent_lines,
                 "show the agent's console lines on standard error (they include the signed data)");
    double timeout_s = options.send_timeout_ms / 1000.0;
    app.add_option("--timeout", timeout_s,
                   "seconds a request may take before the agent is given up (PIN-pad readers "
                   "need time)")
        ->check(CLI::Range(0.1, 86400.0))
        ->capture_default_str();
    app.require_subcommand(1);

    std::string file;
    CLI::App* script = app.add_subcommand("script", "run requests from FILE or standard input");
    script->add_option("FILE", file, "the script (default: standard input)");

    CLI::App* readers = app.add_subcommand("readers", "list the card readers");
    CLI::App* card = app.add_subcommand("card", "print the serial number of the card in READER");
    card->add_option("READER", command.reader, "the reader's description")->required();
    CLI::App* certinfo =
        app.add_subcommand("certinfo", "log in and print the signature certificate's record");
    certinfo->add_option("READER", command.reader, "the reader's description")->required();
    add_pin_option(certinfo, command);
    CLI::App* cert = app.add_subcommand("cert", "log in and print the signature certificate (PEM)");
    cert->add_option("READER", command.reader, "the reader's description")->required();
    add_pin_option(cert, command);
    CLI::App* sign = app.add_subcommand("sign", "log in and sign FILE or standard input");
    sign->add_option("READER", command.reader, "the reader's description")->required();
    sign->add_option("FILE", command.file, "the data (default: standard input)");
    sign->add_option("--mech", command.mechanism,
                     "raw, md5, sha1, sha224, sha256, sha384, sha512 or a number")
        ->capture_default_str();
    sign->add_option("--raw-signature", command.raw_signature,
                     "also write the bare signature bytes to this file");
    add_pin_option(sign, command);

    CLI11_PARSE(app, argc, argv);
    options.send_timeout_ms = static_cast<std::uint32_t>(timeout_s * 1000.0);
    if (*script) {
        return run_script(options, file);
    }
    if (*readers) {
        return peer::run_readers(options, command);
    }
    if (*card) {
        return peer::run_card(options, command);
    }
    if (*certinfo) {
        return peer::run_certinfo(options, command);
    }
    if (*cert) {
        return peer::run_cert(options, command);
    }
    return peer::run_sign(options, command);
}
