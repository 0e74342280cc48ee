// The certificate information record of a signature certificate, built one way wherever the
// certificate comes from: the agent's login, or the certificate a card shows without its PIN.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/CertInfo.h"
#include "vantrel.h"

namespace tessivo {

// A record value's bytes decoded in the ANSI code page, invalid sequences refused (the value is
// then empty): the code page the agent's replies are read in.
std::u16string WidenRecordValue(const std::string& narrow);

// The serial number as the record shows it (lower-case hexadecimal, two digits per byte); empty
// when the library cannot read it.
std::optional<std::u16string> CertSerialText(VR_CERT cert);

// The not-after date as the login reports it and judges expiry by ("2036.1.1", the local
// calendar date); empty when the library cannot read it.
std::optional<std::u16string> NotAfterText(VR_CERT cert);

// The record of `cert`, `certSerial` being its SerialNo.
std::u16string BuildCertRecord(VR_CERT cert, const std::u16string& certSerial,
                               const WidenFn& widen = WidenRecordValue);

// What a login with this certificate as the signature certificate reports of it.
struct CertRecord {
    std::u16string record;
    std::u16string notAfter; // as NotAfterText; empty when unreadable
};

// The record of a DER certificate as the login builds it, SerialNo its own serial number (empty
// when unreadable, as after a first login). Empty when the bytes are no certificate.
std::optional<CertRecord> BuildCertRecord(const std::vector<std::uint8_t>& der,
                                          const WidenFn& widen = WidenRecordValue);

} // namespace tessivo
