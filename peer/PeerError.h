// The peer's failures, each with a stable code for scripts and the browser host and the exit
// status of tessivo-peer. Codes and statuses never change meaning once released; new failures
// get new entries.
#pragma once

#include <stdexcept>
#include <string>

namespace peer {

enum class PeerError {
    Failed,       // 1: anything not listed below
    Usage,        // 2: the command line cannot be used
    ModuleFailed, // 3: the PKCS#11 module cannot be loaded, is not one, or does not start
    NoReader,     // 4: no reader or token matches, or more than one does
    NoCard,       // 5: the reader is empty
    PinIncorrect, // 6: the card refused the PIN
    PinLocked,    // 7: the PIN is locked or has expired and must be changed
    CertExpired,  // 8: the signing certificate is past its end date
    AgentFailed,  // 9: the agent could not start, died, or did not answer in time
    File,         // 10: the input or output file cannot be used
    CardUnusable, // 11: the card holds no certificate the agent can sign with
};

// The stable text code ("no-reader", ...); the codes the browser host shares have its spelling.
const char* ErrorCode(PeerError error);
// The exit status of tessivo-peer for the failure.
int ExitStatus(PeerError error);

// A failed step of a command: an English message, and the agent's own text when the failure
// came from the agent.
struct PeerFailure : std::runtime_error {
    PeerFailure(PeerError kind, const std::string& message, std::string agent = {})
        : std::runtime_error(message), kind(kind), agentText(std::move(agent)) {}
    PeerError kind;
    std::string agentText;
};

} // namespace peer
