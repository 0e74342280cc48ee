// tessivo-peer: starts an agent and drives it with a script of requests.
//   tessivo-peer [--agent PATH] [--module PATH] script [FILE]
#include <filesystem>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "peer/Script.h"
#include "peer/Session.h"
#include "platform/process.h"

namespace {

#if defined(_WIN32)
constexpr const char* kAgentProgram = "tessivo.exe";
#else
constexpr const char* kAgentProgram = "tessivo";
#endif

// The agent program beside this one.
std::string default_agent_path() {
    return (std::filesystem::path(plat::CurrentProgramPath()).parent_path() / kAgentProgram)
        .string();
}

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
    if (!session.start(options, error)) {
        std::cout << peer::to_line({{"error", error}}) << std::endl;
        return 1;
    }
    peer::script_runner runner(session);
    runner.run(file.empty() ? std::cin : script_file, std::cout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Starts a Tessivo agent and sends it requests."};
    peer::session_options options;
    options.agent_path = default_agent_path();
    app.add_option("--agent", options.agent_path, "the agent program");
    app.add_option("--module", options.module_path, "the PKCS#11 module the agent loads");
    app.require_subcommand(1);

    std::string file;
    CLI::App* script = app.add_subcommand("script", "run requests from FILE or standard input");
    script->add_option("FILE", file, "the script (default: standard input)");

    CLI11_PARSE(app, argc, argv);
    return run_script(options, file);
}
