// CTokenAgent: the agent's one record, as peers and the tables know it. The work is done by the
// owners it is made of: the channels, the token operations with the card, the activity log, the
// peer watch and the request handlers. Its fields keep their names, types and order and are
// references into those owners; its operations hand over to them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "agent/ActivityLog.h"
#include "agent/Channels.h"
#include "agent/PeerWatch.h"
#include "agent/RequestHandlers.h"
#include "agent/ResultNames.h"
#include "agent/TokenOperations.h"
#include "platform/types.h"
#include "vantrel.h"

class CTokenAgent {
    // Declared in the order they are made; they go in reverse: the library is shut down before
    // the channels close, and the peer's process handle is closed last.
    PeerWatch watch_;
    CodeNames names_;
    ChannelSet channels_;
    TokenOperations card_;
    ActivityLog log_{channels_.Log()};
    RequestHandlers requests_{channels_, card_, log_, watch_, names_};
    bool libraryDeferred_ = false;

public:
    // Creates the return channel and starts the library.
    CTokenAgent() { card_.StartLibrary(); }
    // The program's agent: its library is started once its window exists (StartDeferredLibrary),
    // while the first tick is awaited, so that loading the module does not delay the window.
    struct LibraryAfterWindow {};
    explicit CTokenAgent(LibraryAfterWindow /*unused*/) : libraryDeferred_(true) {}
    CTokenAgent(const CTokenAgent&) = delete;
    CTokenAgent& operator=(const CTokenAgent&) = delete;

    ChannelSet& Channels() { return channels_; }
    TokenOperations& Card() { return card_; }
    ActivityLog& Activity() { return log_; }
    PeerWatch& Watch() { return watch_; }

    // Window creation: the window and its console, the channels known by then, timer 100.
    bool AttachWindow(plat::WindowHandle mainWindow, plat::WindowHandle console);
    std::int32_t Dispatch(plat::WindowHandle /*window*/, std::uint32_t message,
                          std::uint32_t wParam, std::int32_t lParam) {
        return requests_.Dispatch(message, wParam, lParam);
    }
    // A peer-watch tick; the tick that finds the peer completes the channel set-up.
    void OnTimer(plat::WindowHandle window, std::uintptr_t timerId) {
        if (watch_.OnTimer(window, timerId)) {
            ReopenChannels();
        }
    }
    void AppendLog(plat::WindowHandle console, const char16_t* text) { log_.Append(console, text); }
    std::int32_t ForwardLog(const unsigned char* frame, std::int32_t length) {
        return log_.Forward(frame, length);
    }
    void ReopenChannels() {
        channels_.Reopen([this](const std::u16string& line) { log_.Line(line); });
    }
    std::u16string ErrorText(std::int32_t code) const { return names_.ErrorText(code); }

    // Token session: the library, the readers, the card, login and logout, signing.
    bool StartLibrary() { return card_.StartLibrary(); }
    // Starts a library the constructor left for later, once; false when there was none to start
    // or it did not open.
    bool StartDeferredLibrary() {
        if (!libraryDeferred_) {
            return false;
        }
        libraryDeferred_ = false;
        return card_.StartLibrary();
    }
    bool ShutdownLibrary() { return card_.ShutdownLibrary(); }
    std::u16string GetReaderName(std::uint32_t slotId) { return card_.GetReaderName(slotId); }
    // With a null buffer the size to allocate; otherwise fills at most `capacity` units.
    std::int32_t ListReaders(char16_t* buffer, std::int32_t capacity = 0) {
        return card_.ListReaders(buffer, capacity);
    }
    void SelectReader(const char16_t* text) { card_.SelectReader(text); }
    std::u16string ReadCardSerial() { return card_.ReadCardSerial(); }
    std::uint32_t Login(const char16_t* pin) { return card_.Login(pin); }
    std::uint32_t Logout() { return card_.Logout(); }
    void ReleaseCerts() { card_.ReleaseCerts(); }
    void ReleaseKey() { card_.ReleaseKey(); }
    bool IsCertExpired() { return card_.IsCertExpired(); }
    std::int32_t CompareDates(const std::u16string& a, const std::u16string& b) {
        return card_.CompareDates(a, b);
    }
    std::u16string BuildCertInfo() { return card_.BuildCertInfo(); }
    std::uint32_t SignData(std::uint32_t mechanism, const char* data, std::u16string& reply) {
        return card_.SignData(mechanism, data, reply);
    }

    // The fields in their declared order. What an owner guards (the handles, the peer watch's
    // counters, the windows) is shown read-only; it changes through the owner.
    const plat::WindowHandle& m_hWnd = log_.Window();
    const plat::WindowHandle& m_hLogWnd = log_.Console();
    const plat::MappingHandle& _hMem = channels_.Request().Handle();
    const plat::MappingHandle& _hMem1 = channels_.Return().Handle();
    const plat::MappingHandle& _hMem2 = channels_.Log().Handle();
    const std::int32_t& m_HelloTicks = watch_.HelloTicks();
    const std::int32_t& m_PeerGoneCount = watch_.PeerGoneCount();
    bool& m_SlotSelected = card_.slotSelected;
    bool& m_LibraryOpen = card_.session.library.open;
    bool& m_LoggedIn = card_.session.loggedIn;
    PKCS11& m_Pkcs11 = card_.session.library.pkcs11;
    CertOwner& m_SignCert = card_.session.objects.signCert;
    CertOwner& m_EncCert = card_.session.objects.encCert;
    KeyOwner& m_SignKey = card_.session.objects.signKey;
    std::int32_t& m_SlotIndex = card_.slotIndex;
    std::uint32_t (&m_SlotID)[kMaxSlots] = card_.slotIds;
    std::u16string& m_CertSerial = card_.certSerial;
    std::u16string& m_SignCertB64 = card_.signCertB64;
    std::u16string& m_NotAfter = card_.notAfter;
    std::u16string& m_CertInfo = card_.certInfo;
    std::u16string& m_MemName1 = channels_.returnName;
    const plat::ProcessHandle& m_hPeerProcess = watch_.PeerProcess();
    const std::map<std::int32_t, std::u16string>& m_ResultNames = names_.results;
    const std::map<std::int32_t, std::u16string>& m_CkrNames = names_.ckr;
    std::uint32_t& m_ProcessId = watch_.processId;
    std::u16string& m_MemName = channels_.requestName;
    std::u16string& m_MemName2 = channels_.logName;
};
