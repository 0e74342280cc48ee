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
    case PeerError::UnsupportedCard:
        return "unsupported-card";
    case PeerError::AmbiguousReader:
        return "ambiguous-reader";
    case PeerError::InvalidMessage:
        return "invalid-message";
    case PeerError::InvalidJson:
        return "invalid-json";
    case PeerError::InvalidUtf8:
        return "invalid-utf8";
    case PeerError::MessageTooLarge:
        return "message-too-large";
    case PeerError::UnsupportedVersion:
        return "unsupported-version";
    case PeerError::UnknownCommand:
        return "unknown-command";
    case PeerError::OriginRefused:
        return "origin-refused";
    case PeerError::InvalidCertificate:
        return "invalid-certificate";
    case PeerError::InvalidHash:
        return "invalid-hash";
    case PeerError::InvalidHashAlgorithm:
        return "invalid-hash-algorithm";
    case PeerError::InvalidPin:
        return "invalid-pin";
    case PeerError::NoCertificate:
        return "no-certificate";
    case PeerError::CertificateNotPublic:
        return "certificate-not-public";
    case PeerError::CertificateMismatch:
        return "certificate-mismatch";
    case PeerError::PinRequired:
        return "pin-required";
    case PeerError::SignFailed:
        return "sign-failed";
    case PeerError::ReplyTooLarge:
        return "reply-too-large";
    case PeerError::InternalError:
        return "internal-error";
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
    case PeerError::UnsupportedCard:
        return 11;
    case PeerError::AmbiguousReader:
        return 4;
    default:
        return 1;
    }
    return 1;
}

PeerError ModuleViewError(const tessivo::Status& status) {
    return status.fault == tessivo::Fault::NoModule ? PeerError::ModuleFailed : PeerError::Failed;
}

} // namespace peer
