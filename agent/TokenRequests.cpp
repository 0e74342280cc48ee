// The token requests. The token library is not linked into the agent yet, so the session
// never opens (m_LibraryOpen stays false) and every token request answers as a request with
// no library does: it logs its line and fails, touching no channel.
#include "agent/TokenAgent.h"
#include "platform/format.h"

namespace {

constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;

} // namespace

bool CTokenAgent::StartLibrary() {
    m_SlotIndex = -1;
    for (std::uint32_t& slot : m_SlotID) {
        slot = kNoSlot;
    }
    m_SlotSelected = false;
    m_LibraryOpen = false;
    return m_LibraryOpen;
}

bool CTokenAgent::ShutdownLibrary() {
    if (!m_LibraryOpen) {
        return false;
    }
    m_LibraryOpen = false;
    return true;
}

std::int32_t CTokenAgent::OnSlot(std::uint32_t wParam) {
    Log(plat::Format(u"message:MWM_SLOT,wparam:%d,data:->fail;", static_cast<int>(wParam)));
    return -1;
}

std::int32_t CTokenAgent::OnCard(std::uint32_t wParam) {
    Log(plat::Format(u"message:MWM_CARD,wparam:%d,data:->fail;", static_cast<int>(wParam)));
    return 1;
}

std::int32_t CTokenAgent::OnSign(std::uint32_t wParam) {
    Log(plat::Format(u"message:MWM_SIGN,wparam:%d,data:->fail;", static_cast<int>(wParam)));
    return 1;
}

std::int32_t CTokenAgent::OnCertInf(std::uint32_t wParam) {
    Log(plat::Format(u"message:MWM_CERTINF,wparam:%d,data:->%d;", static_cast<int>(wParam), 0));
    return 0;
}

std::int32_t CTokenAgent::OnLogin(std::uint32_t wParam) {
    Log(plat::Format(u"message:MWM_LOGIN,wparam:%d,data:->fail;", static_cast<int>(wParam)));
    return 1;
}

std::int32_t CTokenAgent::OnLogout(std::uint32_t wParam) {
    // With the library closed Logout answers 1.
    Log(plat::Format(u"message:MWM_LOGOUT,wparam:%d,data:->%s;", static_cast<int>(wParam),
                     u"fail"));
    return 1;
}
