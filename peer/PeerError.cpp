#include "peer/PeerError.h"

namespace peer {

const char* error_code(peer_error error) {
    switch (error) {
    case peer_error::failed:
        return "failed";
    case peer_error::usage:
        return "usage";
    case peer_error::module_failed:
        return "module-failed";
    case peer_error::no_reader:
        return "no-reader";
    case peer_error::no_card:
        return "no-card";
    case peer_error::pin_incorrect:
        return "pin-incorrect";
    case peer_error::pin_locked:
        return "pin-locked";
    case peer_error::cert_expired:
        return "certificate-expired";
    case peer_error::agent_failed:
        return "agent-failed";
    case peer_error::file:
        return "file";
    }
    return "failed";
}

int exit_status(peer_error error) {
    switch (error) {
    case peer_error::failed:
        return 1;
    case peer_error::usage:
        return 2;
    case peer_error::module_failed:
        return 3;
    case peer_error::no_reader:
        return 4;
    case peer_error::no_card:
        return 5;
    case peer_error::pin_incorrect:
        return 6;
    case peer_error::pin_locked:
        return 7;
    case peer_error::cert_expired:
        return 8;
    case peer_error::agent_failed:
        return 9;
    case peer_error::file:
        return 10;
    }
    return 1;
}

} // namespace peer
