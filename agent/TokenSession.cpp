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
#include "agent/TokenOperations.h"
#include "platform/codepage.h"
#include "platform/types.h"

namespace {

constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr std::uint32_t kLibraryClosed = 1;
constexpr std::uint32_t kDescriptionBuffer = 128;
constexpr std::uint32_t kCardSerialBuffer = 17;
constexpr int kPinBuffer = 64;

} // namespace

// ---- Library start and reader selection ----

TokenOperations::TokenOperations() {
    for (std::uint32_t& slot : slotIds) {
        slot = kNoSlot;
    }
}

bool TokenOperations::StartLibrary() {
    slotIndex = -1;
    for (std::uint32_t& slot : slotIds) {
        slot = kNoSlot;
    }
    slotSelected = false;
    return session.Reopen();
}

bool TokenOperations::ShutdownLibrary() {
    if (!LibraryOpen()) {
        return false;
    }
    try {
        session.objects.Release();
        Logout();
        session.library.Close();
        return true;
    } catch (...) {
        return false;
    }
}

std::u16string TokenOperations::GetReaderName(std::uint32_t slotId) {
    if (!LibraryOpen()) {
        return {};
    }
    char buffer[kDescriptionBuffer + 1] = {};
    std::uint32_t length = kDescriptionBuffer;
    GetSlotDesc(&Pkcs11(), slotId, buffer, &length);
    return plat::WidenText(buffer);
}

bool TokenOperations::EnumerateSlots(std::uint32_t (&slots)[kMaxSlots], std::uint32_t& count) {
    count = kMaxSlots;
    if (GetSlotID(&Pkcs11(), slots, &count) != OK) {
        return false;
    }
    if (count > kMaxSlots) {
        count = kMaxSlots;
    }
    return true;
}

std::int32_t TokenOperations::ListReaders(char16_t* buffer, std::int32_t capacity) {
    std::int32_t total = 0;
    if (!LibraryOpen()) {
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

void TokenOperations::SelectReader(const char16_t* text) {
    slotSelected = false;
    if (!LibraryOpen() || text == nullptr) {
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
            slotIds[i] = slots[i];
            if (GetReaderName(slots[i]) == wanted) {
                slotSelected = true;
                slotIndex = static_cast<std::int32_t>(i);
                return;
            }
        }
    } catch (...) {
    }
}

// ---- Card presence, login and logout ----

std::u16string TokenOperations::ReadCardSerial() {
    if (!LibraryOpen() || slotIndex < 0 || slotIndex >= kMaxSlots) {
        return {};
    }
    try {
        const std::uint32_t slot = slotIds[slotIndex];
        if (IsTokenPresent(&Pkcs11(), slot) == 0) {
            return {};
        }
        char buffer[kCardSerialBuffer + 1] = {};
        std::uint32_t length = kCardSerialBuffer;
        if (GetTokenSerialNumber(&Pkcs11(), slot, buffer, &length) != OK) {
            return {};
        }
        return plat::WidenText(buffer);
    } catch (...) {
        return {};
    }
}

std::uint32_t TokenOperations::Login(const char16_t* pin) {
    return LoginResultCode(LoginCard(pin));
}

AgentResult TokenOperations::LoginCard(const char16_t* pin) {
    if (!LibraryOpen() || !slotSelected || slotIndex < 0 || slotIndex >= kMaxSlots) {
        return AgentResult::Fail(Failed::NotReady, "no library or no reader");
    }
    char narrowPin[kPinBuffer] = {};
    try {
        certInfo.clear();
        // A PIN cut to fit would cost the holder a retry: it is refused before the card sees it,
        // and the login fails as a rejected PIN does.
        const bool pinFits =
            plat::WideToMultiByte(plat::kCpAcp, 0, pin, -1, nullptr, 0) <= kPinBuffer;
        if (pinFits) {
            plat::NarrowInto(pin, narrowPin, kPinBuffer);
        }
        if (session.loggedIn) {
            LogoutToken(&Pkcs11());
        }
        std::uint32_t deviceError = 0;
        const VR_RESULT rv =
            pinFits ? LoginToken(&Pkcs11(), slotIds[slotIndex], narrowPin, &deviceError) : OK;
        OPENSSL_cleanse(narrowPin, sizeof narrowPin);
        session.loggedIn = pinFits && rv == OK;
        if (!session.loggedIn) {
            LogoutToken(&Pkcs11());
            return pinFits ? AgentResult::Fail(Failed::Library, "LoginToken", rv)
                           : AgentResult::Fail(Failed::PinTooLong, "PIN");
        }
        session.objects.Release();
        if (!session.objects.Load(Pkcs11())) {
            // The login stands; without the card's objects there is nothing to describe.
            return AgentResult::Done();
        }
        StoreCertTexts();
        certInfo = BuildCertInfo();
        return AgentResult::Done();
    } catch (...) {
        OPENSSL_cleanse(narrowPin, sizeof narrowPin);
        return AgentResult::Fail(Failed::Unexpected, "login", OK, plat::LastError());
    }
}

void TokenOperations::StoreCertTexts() {
    std::int32_t derLength = 0;
    // A null buffer is a size query: the length comes back with BASIC_BUFFER_TOO_SMALL.
    Cert2DER(SignCert(), nullptr, &derLength);
    if (derLength > 0) {
        std::vector<unsigned char> der(static_cast<std::size_t>(derLength));
        if (Cert2DER(SignCert(), der.data(), &derLength) == OK && derLength > 0 &&
            static_cast<std::size_t>(derLength) <= der.size()) {
            signCertB64 = plat::WidenText(tessivo::EncodeBase64Lines(der.data(), derLength));
        }
    }
    // Each text is kept from the earlier login when it cannot be read.
    if (const auto serial = tessivo::CertSerialText(SignCert())) {
        certSerial = *serial;
    }
    if (const auto until = tessivo::NotAfterText(SignCert())) {
        notAfter = *until;
    }
}

std::uint32_t TokenOperations::Logout() {
    if (!LibraryOpen()) {
        return kLibraryClosed;
    }
    if (!session.loggedIn) {
        return OK;
    }
    std::uint32_t result = OK;
    try {
        session.loggedIn = false;
        slotIndex = -1;
        result = LogoutToken(&Pkcs11());
        if (result == OK) {
            return OK;
        }
        // Recover by opening the library afresh. The texts of the record stay.
        if (session.Reopen()) {
            return OK;
        }
    } catch (...) {
    }
    return result;
}

void TokenOperations::ReleaseCerts() {
    session.objects.signCert.reset();
    session.objects.encCert.reset();
}

void TokenOperations::ReleaseKey() {
    session.objects.signKey.reset();
}

bool TokenOperations::IsCertExpired() {
    return tessivo::IsCertExpired(notAfter, static_cast<std::int64_t>(std::time(nullptr)));
}

std::int32_t TokenOperations::CompareDates(const std::u16string& a, const std::u16string& b) {
    return tessivo::CompareDates(a, b);
}

// ---- Certificate information record ----

std::u16string TokenOperations::BuildCertInfo() {
    if (!LibraryOpen() || !session.loggedIn || session.objects.signCert == nullptr) {
        return {};
    }
    return tessivo::BuildCertRecord(SignCert(), certSerial);
}

// ---- Signing ----

std::uint32_t TokenOperations::SignData(std::uint32_t mechanism, const char* data,
                                        std::u16string& reply) {
    return SignResultCode(SignWithCard(mechanism, data, reply));
}

AgentResult TokenOperations::SignWithCard(std::uint32_t mechanism, const char* data,
                                          std::u16string& reply) {
    try {
        const std::size_t nDataLen = data == nullptr ? 0 : std::strlen(data);
        const std::vector<std::uint8_t> decoded = tessivo::DecodeBase64Lenient(data, nDataLen);
        const auto nDestLen = static_cast<std::int32_t>(decoded.size());
        std::int32_t nSignatureLen = 0;
        VR_RESULT rv =
            BasicSign(mechanism, decoded.data(), nDestLen, SignKey(), nullptr, &nSignatureLen);
        if (rv != OK) {
            return AgentResult::Fail(Failed::Library, "BasicSign length", rv);
        }
        if (nSignatureLen <= 0) {
            return AgentResult::Fail(Failed::NoSignature, "no signature key");
        }
        std::vector<unsigned char> signature(static_cast<std::size_t>(nSignatureLen) + 1, 0);
        rv = BasicSign(mechanism, decoded.data(), nDestLen, SignKey(), signature.data(),
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
