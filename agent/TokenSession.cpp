// The agent's token session: the library opened for the agent's lifetime, reader listing and
// selection, card serial, login and logout, the certificate texts built at login, and signing.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <openssl/crypto.h>

#include "protocol/Base64.h"
#include "protocol/ResultCodes.h"
#include "agent/CertDates.h"
#include "agent/CertFields.h"
#include "agent/CertInfo.h"
#include "platform/text.h"
#include "agent/TokenAgent.h"
#include "platform/codepage.h"

namespace {

constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr std::uint32_t kNotReady = 0xFFFFFFFFu;
constexpr std::uint32_t kLibraryClosed = 1;
constexpr std::uint32_t kDescriptionBuffer = 128;
constexpr std::uint32_t kCardSerialBuffer = 17;
constexpr int kPinBuffer = 64;
constexpr std::int32_t kSerialBuffer = 1024;

// The module the agent loads: the card vendor's by default; on Linux the environment may name
// another one (OpenSC's, a vendor's, SoftHSM2 in tests).
const char* ModuleFileName() {
#if !defined(_WIN32)
    const char* chosen = std::getenv("TESSIVO_PKCS11_MODULE");
    if (chosen != nullptr && chosen[0] != '\0') {
        return chosen;
    }
#endif
    return "TorvexPKCS11.dll";
}

// Narrow values to UTF-16 with invalid sequences refused, as the record wants them.
std::u16string WidenValue(const std::string& narrow) {
    if (narrow.empty()) {
        return {};
    }
    std::vector<char16_t> buffer(narrow.size() + 1, u'\0');
    plat::WidenInto(narrow.data(), static_cast<int>(narrow.size()), buffer.data(),
                    static_cast<int>(buffer.size()));
    return std::u16string(buffer.data());
}

// Whether CloseLibrary left the module finalised: it answers CKR_CRYPTOKI_NOT_INITIALIZED for
// a module that was no longer initialised, and unloads it all the same.
bool Closed(VR_RESULT result) {
    return result == OK || result == (BASIC_ERRORS | 0x190u);
}

} // namespace

// ---- Library start and reader selection ----

bool CTokenAgent::StartLibrary() {
    m_SlotIndex = -1;
    for (std::uint32_t& slot : m_SlotID) {
        slot = kNoSlot;
    }
    m_SlotSelected = false;
    return ReopenLibrary();
}

// The one way the module is opened afresh, at start and after a refused logout. What calls into
// the module (the key and the certificates) goes before it is unloaded. A module that refuses
// to finalise keeps its state, its login among it, and an open that followed would only attach
// to that state: every later login would fail as already logged in. It gets one more close
// before the fresh open; a module that refuses twice leaves the library closed.
bool CTokenAgent::ReopenLibrary() {
    try {
        if (m_LibraryOpen) {
            ReleaseCerts();
            ReleaseKey();
            m_LibraryOpen = false;
            if (!Closed(CloseLibrary(&m_Pkcs11)) &&
                (InitLibrary(ModuleFileName(), &m_Pkcs11) != OK ||
                 !Closed(CloseLibrary(&m_Pkcs11)))) {
                return false;
            }
        }
        m_LibraryOpen = InitLibrary(ModuleFileName(), &m_Pkcs11) == OK;
    } catch (...) {
    }
    return m_LibraryOpen;
}

bool CTokenAgent::ShutdownLibrary() {
    if (!m_LibraryOpen) {
        return false;
    }
    try {
        ReleaseCerts();
        ReleaseKey();
        Logout();
        CloseLibrary(&m_Pkcs11);
        return true;
    } catch (...) {
        return false;
    }
}

std::u16string CTokenAgent::GetReaderName(std::uint32_t slotId) {
    if (!m_LibraryOpen) {
        return {};
    }
    char buffer[kDescriptionBuffer + 1] = {};
    std::uint32_t length = kDescriptionBuffer;
    GetSlotDesc(&m_Pkcs11, slotId, buffer, &length);
    return plat::WidenText(buffer);
}

bool CTokenAgent::EnumerateSlots(std::uint32_t (&slots)[kMaxSlots], std::uint32_t& count) {
    count = kMaxSlots;
    if (GetSlotID(&m_Pkcs11, slots, &count) != OK) {
        return false;
    }
    if (count > kMaxSlots) {
        count = kMaxSlots;
    }
    return true;
}

std::int32_t CTokenAgent::ListReaders(char16_t* buffer, std::int32_t capacity) {
    std::int32_t total = 0;
    if (!m_LibraryOpen) {
        return 0;
    }
    try {
        std::uint32_t slots[kMaxSlots];
        std::uint32_t count = 0;
        if (!EnumerateSlots(slots, count)) {
            return 0;
        }
        std::int32_t position = 0;
        bool fits = buffer != nullptr;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::u16string name = GetReaderName(slots[i]);
            const auto length = static_cast<std::int32_t>(name.size());
            total += length + 2;
            // A reader plugged in since the sizing call must not push the list past the
            // buffer: the list then ends with the last description that fits.
            fits = fits && position + length + 1 <= capacity;
            if (fits) {
                std::memcpy(buffer + position, name.c_str(), (name.size() + 1) * sizeof(char16_t));
                position += length + 1;
            }
        }
    } catch (...) {
    }
    return total;
}

void CTokenAgent::SelectReader(const char16_t* text) {
    m_SlotSelected = false;
    if (!m_LibraryOpen || text == nullptr) {
        return;
    }
    try {
        std::uint32_t slots[kMaxSlots];
        std::uint32_t count = 0;
        if (!EnumerateSlots(slots, count)) {
            return;
        }
        const std::u16string wanted(text);
        for (std::uint32_t i = 0; i < count; ++i) {
            m_SlotID[i] = slots[i];
            if (GetReaderName(slots[i]) == wanted) {
                m_SlotSelected = true;
                m_SlotIndex = static_cast<std::int32_t>(i);
                return;
            }
        }
    } catch (...) {
    }
}

// ---- Card presence, login and logout ----

std::u16string CTokenAgent::ReadCardSerial() {
    if (!m_LibraryOpen || m_SlotIndex < 0 || m_SlotIndex >= kMaxSlots) {
        return {};
    }
    try {
        const std::uint32_t slot = m_SlotID[m_SlotIndex];
        if (IsTokenPresent(&m_Pkcs11, slot) == 0) {
            return {};
        }
        char buffer[kCardSerialBuffer + 1] = {};
        std::uint32_t length = kCardSerialBuffer;
        if (GetTokenSerialNumber(&m_Pkcs11, slot, buffer, &length) != OK) {
            return {};
        }
        return plat::WidenText(buffer);
    } catch (...) {
        return {};
    }
}

std::uint32_t CTokenAgent::Login(const char16_t* pin) {
    if (!m_LibraryOpen || !m_SlotSelected || m_SlotIndex < 0 || m_SlotIndex >= kMaxSlots) {
        return kNotReady;
    }
    char narrowPin[kPinBuffer] = {};
    try {
        m_CertInfo.clear();
        // A PIN cut to fit would cost the holder a retry: it is refused before the card sees it,
        // and the login fails as a rejected PIN does.
        const bool pinFits =
            plat::WideToMultiByte(plat::kCpAcp, 0, pin, -1, nullptr, 0) <= kPinBuffer;
        if (pinFits) {
            plat::NarrowInto(pin, narrowPin, kPinBuffer);
        }
        if (m_LoggedIn) {
            LogoutToken(&m_Pkcs11);
        }
        std::uint32_t deviceError = 0;
        const VR_RESULT rv =
            pinFits ? LoginToken(&m_Pkcs11, m_SlotID[m_SlotIndex], narrowPin, &deviceError)
                    : tessivo::kPinLengthRange;
        OPENSSL_cleanse(narrowPin, sizeof narrowPin);
        m_LoggedIn = rv == OK;
        if (rv != OK) {
            LogoutToken(&m_Pkcs11);
            m_LoggedIn = false;
            return rv;
        }
        ReleaseCerts();
        ReleaseKey();
        if (GetSignatureCert(&m_Pkcs11, &m_SignCert) != OK ||
            GetEnciphermentCert(&m_Pkcs11, &m_EncCert) != OK ||
            GetSignatureKey(&m_Pkcs11, &m_SignKey) != OK) {
            m_LoggedIn = true;
            return OK;
        }
        StoreCertTexts();
        m_CertInfo = BuildCertInfo();
        m_LoggedIn = true;
        return OK;
    } catch (...) {
        OPENSSL_cleanse(narrowPin, sizeof narrowPin);
        return plat::LastError();
    }
}

void CTokenAgent::StoreCertTexts() {
    std::int32_t derLength = 0;
    // A null buffer is a size query: the length comes back with BASIC_BUFFER_TOO_SMALL.
    Cert2DER(m_SignCert, nullptr, &derLength);
    if (derLength > 0) {
        std::vector<unsigned char> der(static_cast<std::size_t>(derLength));
        if (Cert2DER(m_SignCert, der.data(), &derLength) == OK && derLength > 0 &&
            static_cast<std::size_t>(derLength) <= der.size()) {
            m_SignCertB64 = plat::WidenText(tessivo::EncodeBase64Lines(der.data(), derLength));
        }
    }
    unsigned char serial[kSerialBuffer] = {};
    std::int32_t serialLength = kSerialBuffer;
    if (GetCertSerialNumber(m_SignCert, serial, &serialLength) == OK && serialLength >= 0 &&
        serialLength <= kSerialBuffer) {
        m_CertSerial =
            tessivo::HexText(std::string(reinterpret_cast<const char*>(serial), serialLength));
    }
    std::tm notAfter{};
    if (GetNotAfter(m_SignCert, &notAfter) == OK) {
        m_NotAfter = tessivo::LocalDateText(tessivo::UtcToInstant(notAfter));
    }
}

std::uint32_t CTokenAgent::Logout() {
    if (!m_LibraryOpen) {
        return kLibraryClosed;
    }
    if (!m_LoggedIn) {
        return OK;
    }
    std::uint32_t result = OK;
    try {
        m_LoggedIn = false;
        m_SlotIndex = -1;
        result = LogoutToken(&m_Pkcs11);
        if (result == OK) {
            return OK;
        }
        // Recover by opening the library afresh. The texts of the record stay.
        if (ReopenLibrary()) {
            return OK;
        }
    } catch (...) {
    }
    return result;
}

void CTokenAgent::ReleaseCerts() {
    for (VR_CERT* cert : {&m_SignCert, &m_EncCert}) {
        if (*cert != nullptr) {
            FreeCert(*cert);
            *cert = nullptr;
        }
    }
}

void CTokenAgent::ReleaseKey() {
    if (m_SignKey != nullptr) {
        FreeKey(m_SignKey);
        m_SignKey = nullptr;
    }
}

bool CTokenAgent::IsCertExpired() {
    return tessivo::IsCertExpired(m_NotAfter, static_cast<std::int64_t>(std::time(nullptr)));
}

std::int32_t CTokenAgent::CompareDates(const std::u16string& a, const std::u16string& b) {
    return tessivo::CompareDates(a, b);
}

// ---- Certificate information record ----

std::u16string CTokenAgent::BuildCertInfo() {
    if (!m_LibraryOpen || !m_LoggedIn || m_SignCert == nullptr) {
        return {};
    }
    return tessivo::FormatCertInfo(tessivo::ReadCertInfoFields(m_SignCert), m_CertSerial,
                                   WidenValue);
}

// ---- Signing ----

std::uint32_t CTokenAgent::SignData(std::uint32_t mechanism, const char* data,
                                    std::u16string& reply) {
    try {
        const std::size_t nDataLen = data == nullptr ? 0 : std::strlen(data);
        const std::vector<std::uint8_t> decoded = tessivo::DecodeBase64Lenient(data, nDataLen);
        const auto nDestLen = static_cast<std::int32_t>(decoded.size());
        std::int32_t nSignatureLen = 0;
        if (BasicSign(mechanism, decoded.data(), nDestLen, m_SignKey, nullptr, &nSignatureLen) !=
                OK ||
            nSignatureLen <= 0) {
            return 1;
        }
        std::vector<unsigned char> signature(static_cast<std::size_t>(nSignatureLen) + 1, 0);
        if (BasicSign(mechanism, decoded.data(), nDestLen, m_SignKey, signature.data(),
                      &nSignatureLen) != OK ||
            nSignatureLen <= 0 || static_cast<std::size_t>(nSignatureLen) >= signature.size()) {
            return 1;
        }
        reply = u"<SignatureValue>";
        reply += plat::WidenText(tessivo::EncodeBase64Lines(signature.data(), nSignatureLen));
        reply += u"</SignatureValue>";
        return 0;
    } catch (...) {
        return 1;
    }
}
