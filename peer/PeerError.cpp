#include "peer/PeerError.h"

namespace peer {

const char* ErrorCode(PeerError error) {
    switch (error) {
    case PeerError::Failed:
        return "failed";
    case PeerError::Usage:
        return "usage";
    case PeerError::ModuleFailed:
        return "module-failed";
    case PeerError::NoReader:
        return "no-reader";
    case PeerError::NoCard:
        return "no-card";
    case PeerError::PinIncorrect:
        return "pin-incorrect";
    case PeerError::PinLocked:
        return "pin-locked";
    case PeerError::CertExpired:
        return "certificate-expired";
    case PeerError::AgentFailed:
        return "agent-failed";
    case PeerError::File:
        return "file";
    case PeerError::CardUnusable:
        return "card-unusable";
    }
    return "failed";
}

int ExitStatus(PeerError error) {
    switch (error) {
    case PeerError::Failed:
        return 1;
    case PeerError::Usage:
        return 2;
    case PeerError::ModuleFailed:
        return 3;
    case PeerError::NoReader:
        return 4;
    case PeerError::NoCard:
        return 5;
    case PeerError::PinIncorrect:
        return 6;
    case PeerError::PinLocked:
        return 7;
    case PeerError::CertExpired:
        return 8;
    case PeerError::AgentFailed:
        return 9;
    case PeerError::File:
        return 10;
    case PeerError::CardUnusable:
        return 11;
    }
    return 1;
}

} // namespace peer
