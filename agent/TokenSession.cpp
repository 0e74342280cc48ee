// The agent's token session: the library opened for the agent's lifetime, reader listing and
// selection, card serial, login and logout, the certificate texts built at login, and signing.
#include <cstring>
#include <ctime>
#include <vector>

#include <openssl/crypto.h>

#include "protocol/Base64.h"
#include "protocol/Messages.h"
#include "protocol/ResultCodes.h"
#include "record/CertDates.h"
#include "record/CertRecord.h"
#include "agent/AgentResult.h"
#include "agent/CardSession.h"
#include "platform/text.h"
#include "agent/TokenAgent.h"
#include "platform/codepage.h"

namespace {

constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr std::uint32_t kLibraryClosed = 1;
constexpr std::uint32_t kDescriptionBuffer = 128;
constexpr std::uint32_t kCardSerialBuffer = 17;
constexpr int kPinBuffer = 64;

} // namespace

// ---- Library start and reader selection ----

bool CTokenAgent::StartLibrary() {
    m_SlotIndex = -1;
    for (std::uint32_t& slot : m_SlotID) {
        slot = kNoSlot;
    }
    m_SlotSelected = false;
    return session_.Reopen();
}

bool CTokenAgent::ShutdownLibrary() {
    if (!m_LibraryOpen) {
        return false;
    }
    try {
        session_.objects.Release();
        Logout();
        session_.library.Close();
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
    return LoginResultCode(LoginCard(pin));
}

AgentResult CTokenAgent::LoginCard(const char16_t* pin) {
    if (!m_LibraryOpen || !m_SlotSelected || m_SlotIndex < 0 || m_SlotIndex >= kMaxSlots) {
        return AgentResult::Fail(Failed::NotReady, "no library or no reader");
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
            pinFits ? LoginToken(&m_Pkcs11, m_SlotID[m_SlotIndex], narrowPin, &deviceError) : OK;
        OPENSSL_cleanse(narrowPin, sizeof narrowPin);
        m_LoggedIn = pinFits && rv == OK;
        if (!m_LoggedIn) {
            LogoutToken(&m_Pkcs11);
            return pinFits ? AgentResult::Fail(Failed::Library, "LoginToken", rv)
                           : AgentResult::Fail(Failed::PinTooLong, "PIN");
        }
        session_.objects.Release();
        if (!session_.objects.Load(m_Pkcs11)) {
            // The login stands; without the card's objects there is nothing to describe.
            return AgentResult::Done();
        }
        StoreCertTexts();
        m_CertInfo = BuildCertInfo();
        return AgentResult::Done();
    } catch (...) {
        OPENSSL_cleanse(narrowPin, sizeof narrowPin);
        return AgentResult::Fail(Failed::Unexpected, "login", OK, plat::LastError());
    }
}

void CTokenAgent::StoreCertTexts() {
    std::int32_t derLength = 0;
    // A null buffer is a size query: the length comes back with BASIC_BUFFER_TOO_SMALL.
    Cert2DER(m_SignCert.get(), nullptr, &derLength);
    if (derLength > 0) {
        std::vector<unsigned char> der(static_cast<std::size_t>(derLength));
        if (Cert2DER(m_SignCert.get(), der.data(), &derLength) == OK && derLength > 0 &&
            static_cast<std::size_t>(derLength) <= der.size()) {
            m_SignCertB64 = plat::WidenText(tessivo::EncodeBase64Lines(der.data(), derLength));
        }
    }
    // Each text is kept from the earlier login when it cannot be read.
    if (const auto serial = tessivo::CertSerialText(m_SignCert.get())) {
        m_CertSerial = *serial;
    }
    if (const auto notAfter = tessivo::NotAfterText(m_SignCert.get())) {
        m_NotAfter = *notAfter;
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
        if (session_.Reopen()) {
            return OK;
        }
    } catch (...) {
    }
    return result;
}

void CTokenAgent::ReleaseCerts() {
    m_SignCert.reset();
    m_EncCert.reset();
}

void CTokenAgent::ReleaseKey() {
    m_SignKey.reset();
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
    return tessivo::BuildCertRecord(m_SignCert.get(), m_CertSerial);
}

// ---- Signing ----

std::uint32_t CTokenAgent::SignData(std::uint32_t mechanism, const char* data,
                                    std::u16string& reply) {
    return SignResultCode(SignWithCard(mechanism, data, reply));
}

AgentResult CTokenAgent::SignWithCard(std::uint32_t mechanism, const char* data,
                                      std::u16string& reply) {
    try {
        const std::size_t nDataLen = data == nullptr ? 0 : std::strlen(data);
        const std::vector<std::uint8_t> decoded = tessivo::DecodeBase64Lenient(data, nDataLen);
        const auto nDestLen = static_cast<std::int32_t>(decoded.size());
        std::int32_t nSignatureLen = 0;
        VR_RESULT rv = BasicSign(mechanism, decoded.data(), nDestLen, m_SignKey.get(), nullptr,
                                 &nSignatureLen);
        if (rv != OK) {
            return AgentResult::Fail(Failed::Library, "BasicSign length", rv);
        }
        if (nSignatureLen <= 0) {
            return AgentResult::Fail(Failed::NoSignature, "no signature key");
        }
        std::vector<unsigned char> signature(static_cast<std::size_t>(nSignatureLen) + 1, 0);
        rv = BasicSign(mechanism, decoded.data(), nDestLen, m_SignKey.get(), signature.data(),
                       &nSignatureLen);
        if (rv != OK) {
            return AgentResult::Fail(Failed::Library, "BasicSign", rv);
        }
        if (nSignatureLen <= 0 || static_cast<std::size_t>(nSignatureLen) >= signature.size()) {
            return AgentResult::Fail(Failed::NoSignature, "signature length");
        }
        reply = u"<SignatureValue>";
        reply += plat::WidenText(tessivo::EncodeBase64Lines(signature.data(), nSignatureLen));
        reply += u"</SignatureValue>";
        return AgentResult::Done();
    } catch (...) {
        return AgentResult::Fail(Failed::Unexpected, "sign", OK, plat::LastError());
    }
}
