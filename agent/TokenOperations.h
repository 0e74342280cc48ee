// The agent's token operations and their state: the library opened for the agent's lifetime,
// the readers and the one selected, the card's serial, login and logout with the certificate
// texts built at login, and signing. The agent's record shows this state under its own field
// names.
#pragma once

#include <cstdint>
#include <string>

#include "agent/AgentResult.h"
#include "agent/CardSession.h"

inline constexpr int kMaxSlots = 100;

class TokenOperations {
public:
    TokenOperations();
    // Releases the certificates and the key, logs out and closes the library.
    ~TokenOperations() { ShutdownLibrary(); }
    TokenOperations(const TokenOperations&) = delete;
    TokenOperations& operator=(const TokenOperations&) = delete;

    bool StartLibrary();
    bool ShutdownLibrary();
    std::u16string GetReaderName(std::uint32_t slotId);
    // With a null buffer the size to allocate; otherwise fills at most `capacity` units.
    std::int32_t ListReaders(char16_t* buffer, std::int32_t capacity = 0);
    void SelectReader(const char16_t* text);
    std::u16string ReadCardSerial();
    std::uint32_t Login(const char16_t* pin);
    std::uint32_t Logout();
    void ReleaseCerts();
    void ReleaseKey();
    bool IsCertExpired();
    std::int32_t CompareDates(const std::u16string& a, const std::u16string& b);
    std::u16string BuildCertInfo();
    std::uint32_t SignData(std::uint32_t mechanism, const char* data, std::u16string& reply);

    // The module, the card's objects and the login state.
    TokenSession session;
    bool slotSelected = false;
    std::int32_t slotIndex = -1;
    // Slot ids of the last enumeration.
    std::uint32_t slotIds[kMaxSlots];
    // The signature certificate's texts from the last login, and its record.
    std::u16string certSerial;
    std::u16string signCertB64;
    std::u16string notAfter;
    std::u16string certInfo;

private:
    // The token operations with their detail; Login and SignData give the peers' codes.
    AgentResult LoginCard(const char16_t* pin);
    AgentResult SignWithCard(std::uint32_t mechanism, const char* data, std::u16string& reply);

    bool LibraryOpen() const { return session.library.open; }
    PKCS11& Pkcs11() { return session.library.pkcs11; }
    VR_CERT SignCert() const { return session.objects.signCert.get(); }
    VR_KEY SignKey() const { return session.objects.signKey.get(); }

    bool EnumerateSlots(std::uint32_t (&slots)[kMaxSlots], std::uint32_t& count);
    void StoreCertTexts();
};
