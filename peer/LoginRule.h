// Whether the agent's login can use a card, judged from the certificates the card shows without
// a PIN. After a login the agent takes the signature certificate (id "SIGN", else the first
// certificate whose key usage is digital signature alone) and the encipherment certificate (id
// "KEYX", else the first whose key usage is key and data encipherment alone); when either is
// missing the login ends without certificates and every signature fails. Checking first spares
// the holder a PIN try on a card that cannot sign.
//
// Only certificates are checked: a card's private keys are private objects, invisible before
// the login, so their absence says nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peer/ModuleView.h"

namespace peer {

// What one certificate object shows, for messages.
struct CertificateFacts {
    std::string label;    // CKA_LABEL as UTF-8
    std::string id;       // CKA_ID as text when it is printable ASCII, else empty
    std::string idHex;    // CKA_ID in lowercase hex
    std::string keyUsage; // the key-usage bytes in hex with the bits named, or why there are none
    std::string subject;  // RFC 2253 text; empty when the value is no certificate
    bool parsed = false;  // the value is a DER certificate
};

enum class CardVerdict {
    Usable,   // both certificates are there
    Unusable, // the card shows certificates, but not the ones the login needs
    Unknown,  // the card shows no certificate before its PIN: nothing can be told
};

struct LoginCheck {
    CardVerdict verdict = CardVerdict::Unknown;
    std::optional<std::size_t> signature;    // index of the signature certificate
    std::optional<std::size_t> encipherment; // index of the encipherment certificate
    std::string missing; // an English sentence naming what is missing; empty unless Unusable
    std::vector<CertificateFacts> certificates; // one per certificate, in the module's order
};

// Applies the login's choice to the certificates, in the module's order.
LoginCheck CheckLoginRule(const std::vector<PublicCertificate>& certificates);

// One line for a message: label, id, key usage and subject.
std::string DescribeCertificate(const CertificateFacts& facts);

} // namespace peer
