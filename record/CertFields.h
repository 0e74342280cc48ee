// Reads what the certificate information record shows from a certificate, through the token
// library's field and extension accessors.
#pragma once

#include <string>

#include "record/CertInfo.h"
#include "vantrel.h"

namespace tessivo {

CertInfoFields ReadCertInfoFields(VR_CERT cert);

// A UTF-8 name in code page 950, "?" for each character Big5 lacks; names of any length.
// Empty when the text is not UTF-8 or converts to nothing.
std::string Utf8NameToBig5(const std::string& utf8);

} // namespace tessivo
