// The request dispatcher: one handler per message id of the catalogue.
#include "protocol/Messages.h"
#include "agent/TokenAgent.h"
#include "platform/format.h"
#include "platform/window.h"

namespace {

plat::WindowHandle FirstWindowOf(std::uint32_t processId) {
    for (const plat::TopLevelWindow& entry : plat::EnumTopLevelWindows()) {
        if (entry.processId == processId) {
            return entry.window;
        }
    }
    return 0;
}

// What a request answers when its handler fails before it has done anything.
std::int32_t FailureResult(std::uint32_t message) {
    switch (message) {
    case MWM_SLOT:
        return -1;
    case MWM_CARD:
    case MWM_SIGN:
    case MWM_LOGIN:
    case MWM_LOGOUT:
        return 1;
    default:
        return 0;
    }
}

} // namespace

std::int32_t CTokenAgent::Dispatch(plat::WindowHandle /*window*/, std::uint32_t message,
                                   std::uint32_t wParam, std::int32_t lParam) {
    try {
        switch (message) {
        case MWM_HELLO:
            return OnHello(lParam);
        case MWM_SLOT:
            return OnSlot(wParam);
        case MWM_CARD:
            return OnCard(wParam);
        case MWM_SIGN:
            return OnSign(wParam);
        case MWM_CERTINF:
            return OnCertInf(wParam);
        case MWM_LOGIN:
            return OnLogin(wParam);
        case MWM_LOGOUT:
            return OnLogout(wParam);
        case MWM_LASTRESULT:
            return LastForwardResult();
        default:
            // 1232, 1233, 1236, 1237 have no handler.
            return 0;
        }
    } catch (...) {
        return FailureResult(message);
    }
}

std::int32_t CTokenAgent::OnHello(std::int32_t lParam) {
    m_ProcessId = static_cast<std::uint32_t>(lParam);
    const plat::WindowHandle peerWindow = FirstWindowOf(m_ProcessId);
    if (peerWindow != 0) {
        m_hWnd = peerWindow;
    }
    Log(plat::Format(u"message:MWM_HELLO,m_ProcessId : %d,mem : %s;", static_cast<int>(m_ProcessId),
                     m_MemName.c_str()));
    return static_cast<std::int32_t>(m_ProcessId);
}
