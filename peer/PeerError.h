// The peer's failures, each with a stable code for scripts and the browser host and the exit
// status of tessivo-peer. Codes and statuses never change meaning once released; new failures
// get new entries.
#pragma once

#include <stdexcept>
#include <string>

namespace peer {

enum class peer_error {
    failed,        // 1: anything not listed below
    usage,         // 2: the command line cannot be used
    module_failed, // 3: the PKCS#11 module cannot be loaded, is not one, or does not start
    no_reader,     // 4: no reader or token matches, or more than one does
    no_card,       // 5: the reader is empty
    pin_incorrect, // 6: the card refused the PIN
    pin_locked,    // 7: the PIN is locked or has expired and must be changed
    cert_expired,  // 8: the signing certificate is past its end date
    agent_failed,  // 9: the agent could not start, died, or did not answer in time
    file,          // 10: the input or output file cannot be used
};

// The stable text code ("no-reader", ...); the codes the browser host shares have its spelling.
const char* error_code(peer_error error);
// The exit status of tessivo-peer for the failure.
int exit_status(peer_error error);

// A failed step of a command: an English message, and the agent's own text when the failure
// came from the agent.
struct peer_failure : std::runtime_error {
    peer_failure(peer_error kind, const std::string& message, std::string agent = {})
        : std::runtime_error(message), kind(kind), agent_text(std::move(agent)) {}
    peer_error kind;
    std::string agent_text;
};

} // namespace peer
