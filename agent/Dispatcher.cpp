// The request dispatcher: one handler per message id of the catalogue.
#include "agent/AgentProcess.h"
#include "agent/RequestHandlers.h"
#include "platform/format.h"
#include "platform/window.h"
#include "protocol/Messages.h"

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

std::int32_t RequestHandlers::Dispatch(std::uint32_t message, std::uint32_t wParam,
                                       std::int32_t lParam) {
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
            return Process().lastForwardResult;
        default:
            // 1232, 1233, 1236, 1237 have no handler.
            return 0;
        }
    } catch (...) {
        return FailureResult(message);
    }
}

// The new id is picked up by the peer watch's next tick.
std::int32_t RequestHandlers::OnHello(std::int32_t lParam) {
    watch_.processId = static_cast<std::uint32_t>(lParam);
    const plat::WindowHandle peerWindow = FirstWindowOf(watch_.processId);
    Process().helloWindow = peerWindow;
    if (peerWindow != 0) {
        log_.SetWindow(peerWindow);
    }
    Log(plat::Format(u"message:MWM_HELLO,m_ProcessId : %d,mem : %s;",
                     static_cast<int>(watch_.processId), channels_.requestName.c_str()));
    return static_cast<std::int32_t>(watch_.processId);
}
