// CTokenAgent: the agent's one object. It owns the window and console handles, the three
// channels, the token session and the peer watch; the window procedure hands it every request.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "agent/AgentResult.h"
#include "agent/CardSession.h"
#include "platform/types.h"
#include "vantrel.h"

inline constexpr int kMaxSlots = 100;

class CTokenAgent {
    // The card's owner; the token-session fields below are its parts under their fixed names.
    TokenSession session_;

public:
    CTokenAgent();
    ~CTokenAgent();
    CTokenAgent(const CTokenAgent&) = delete;
    CTokenAgent& operator=(const CTokenAgent&) = delete;

    bool AttachWindow(plat::WindowHandle mainWindow, plat::WindowHandle console);
    std::int32_t Dispatch(plat::WindowHandle window, std::uint32_t message, std::uint32_t wParam,
                          std::int32_t lParam);
    void OnTimer(plat::WindowHandle window, std::uintptr_t timerId);
    void AppendLog(plat::WindowHandle console, const char16_t* text);
    std::int32_t ForwardLog(const unsigned char* frame, std::int32_t length);
    void ReopenChannels();
    std::u16string ErrorText(std::int32_t code) const;

    // Token session: the library, the readers, the card, login and logout, signing.
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

    // Fields in their declared order; the request handlers, the timers and the tests reach
    // them directly.
    plat::WindowHandle m_hWnd = 0;
    plat::WindowHandle m_hLogWnd = 0;
    plat::MappingHandle _hMem = nullptr;
    plat::MappingHandle _hMem1 = nullptr;
    plat::MappingHandle _hMem2 = nullptr;
    std::int32_t m_HelloTicks = 0;
    std::int32_t m_PeerGoneCount = 0;
    bool m_SlotSelected = false;
    bool& m_LibraryOpen = session_.library.open;
    bool& m_LoggedIn = session_.loggedIn;
    PKCS11& m_Pkcs11 = session_.library.pkcs11;
    CertOwner& m_SignCert = session_.objects.signCert;
    CertOwner& m_EncCert = session_.objects.encCert;
    KeyOwner& m_SignKey = session_.objects.signKey;
    std::int32_t m_SlotIndex = -1;
    std::uint32_t m_SlotID[kMaxSlots];
    std::u16string m_CertSerial;
    std::u16string m_SignCertB64;
    std::u16string m_NotAfter;
    std::u16string m_CertInfo;
    std::u16string m_MemName1;
    plat::ProcessHandle m_hPeerProcess = nullptr;
    std::map<std::int32_t, std::u16string> m_ResultNames;
    std::map<std::int32_t, std::u16string> m_CkrNames;
    std::uint32_t m_ProcessId = 0xFFFFFFFFu;
    std::u16string m_MemName;
    std::u16string m_MemName2;

private:
    std::int32_t OnHello(std::int32_t lParam);
    std::int32_t OnSlot(std::uint32_t wParam);
    std::int32_t OnCard(std::uint32_t wParam);
    std::int32_t OnSign(std::uint32_t wParam);
    std::int32_t OnCertInf(std::uint32_t wParam);
    std::int32_t OnLogin(std::uint32_t wParam);
    std::int32_t OnLogout(std::uint32_t wParam);

    // The token operations with their detail; Login and SignData give the peers' codes.
    AgentResult LoginCard(const char16_t* pin);
    AgentResult SignWithCard(std::uint32_t mechanism, const char* data, std::u16string& reply);

    bool EnumerateSlots(std::uint32_t (&slots)[kMaxSlots], std::uint32_t& count);
    void StoreCertTexts();
    void LogReaders();
    bool WriteLoginSuccess();
    bool WriteLoginFailure(std::uint32_t code, const std::u16string& errorText);

    void OnHelloTick(plat::WindowHandle window);
    void OnWatchTick(plat::WindowHandle window);
    void Log(const std::u16string& line);
};

// Process-wide values of the activity log: the console entry counter and what the most recent
// forward returned (bytes written into the log channel, or -1).
std::uint16_t& ConsoleEntryCount();
std::int32_t& LastForwardResult();

// The agent's peer-watch timers and their periods in milliseconds.
inline constexpr std::uintptr_t kHelloTimer = 100;
inline constexpr std::uintptr_t kWatchTimer = 101;
inline constexpr std::uint32_t kFirstTickMs = 18;
inline constexpr std::uint32_t kTickMs = 100;
