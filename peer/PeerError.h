// The peer's failures, each with a stable code for scripts and the browser host and the exit
// status of tessivo-peer. Codes and statuses never change meaning once released; new failures
// get new entries.
#pragma once

#include <stdexcept>
#include <string>

#include "status/Status.h"

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
    // The browser host's own failures (exit status 1 should tessivo-peer ever meet one, except
    // where noted).
    UnsupportedCard,      // CardUnusable as the host names it (exit status 11)
    AmbiguousReader,      // readers share the description the agent selects them by (exit status 4)
    InvalidMessage,       // not a request: wrong or missing field, wrong type, empty frame
    InvalidJson,          // the body is not JSON
    InvalidUtf8,          // the body is not UTF-8
    MessageTooLarge,      // the request is above the limit
    UnsupportedVersion,   // the request's protocol version is not spoken here
    UnknownCommand,       // no such command
    OriginRefused,        // the requesting page's origin may not ask
    InvalidCertificate,   // the request's certificate is not a DER certificate
    InvalidHash,          // the hash is not Base64 or not the algorithm's length
    InvalidHashAlgorithm, // the hash algorithm is not one of those offered
    InvalidPin,           // the PIN is empty, too long or holds NUL
    NoCertificate,        // the card holds no signing certificate
    CertificateNotPublic, // the card shows its certificate only after the PIN
    CertificateMismatch,  // the card's signing certificate is not the request's
    PinRequired,          // a signature without a PIN on a reader without a PIN pad
    SignFailed,           // the card refused to sign
    ReplyTooLarge,        // the reply would be above the browser's limit
    InternalError,        // anything else in the host
};

// The stable text code ("no-reader", ...); the codes the browser host shares have its spelling.
const char* ErrorCode(PeerError error);
// The exit status of tessivo-peer for the failure.
int ExitStatus(PeerError error);
// What a failed step of the module view (ModuleView.h) is to tessivo-peer: no module to view is
// the module's failure, anything after it an ordinary one.
PeerError ModuleViewError(const tessivo::Status& status);

// A failed step of a command: an English message, and the agent's own text when the failure
// came from the agent.
struct PeerFailure : std::runtime_error {
    PeerFailure(PeerError kind, const std::string& message, std::string agent = {})
        : std::runtime_error(message), kind(kind), agentText(std::move(agent)) {}
    PeerError kind;
    std::string agentText;
};

} // namespace peer
