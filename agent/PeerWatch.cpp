// The peer watch: timer 100 waits for the peer's process id, timer 101 checks that the peer
// still runs. Each tick kills its timer and re-arms it only while the watch goes on.
#include "protocol/Messages.h"
#include "agent/TokenAgent.h"
#include "platform/process.h"
#include "platform/window.h"

namespace {

constexpr std::uint32_t kNoProcess = 0xFFFFFFFFu;
constexpr std::int32_t kHelloTicksAllowed = 10;
constexpr std::int32_t kPeerGoneChecksAllowed = 20;

} // namespace

void CTokenAgent::OnTimer(plat::WindowHandle window, std::uintptr_t timerId) {
    if (timerId == kHelloTimer) {
        OnHelloTick(window);
    } else if (timerId == kWatchTimer) {
        OnWatchTick(window);
    }
}

void CTokenAgent::OnHelloTick(plat::WindowHandle window) {
    plat::KillTimer(window, kHelloTimer);
    if (m_ProcessId != kNoProcess) {
        // A tick can only repeat if someone sends WM_TIMER by hand; keep one handle then.
        if (m_hPeerProcess != nullptr) {
            plat::CloseProcess(m_hPeerProcess);
        }
        m_hPeerProcess = plat::OpenProcessById(m_ProcessId);
        ReopenChannels();
        plat::SetTimer(window, kWatchTimer, kTickMs);
        return;
    }
    std::int32_t ticks = m_HelloTicks++;
    if (ticks < kHelloTicksAllowed) {
        plat::SetTimer(window, kHelloTimer, kTickMs);
    } else {
        plat::PostMessage(window, MWM_EXIT, 0, 0);
    }
}

void CTokenAgent::OnWatchTick(plat::WindowHandle window) {
    plat::KillTimer(window, kWatchTimer);
    bool running = m_hPeerProcess != nullptr && plat::IsProcessRunning(m_hPeerProcess);
    if (running) {
        m_PeerGoneCount = 0;
    } else {
        ++m_PeerGoneCount;
    }
    if (m_PeerGoneCount > kPeerGoneChecksAllowed) {
        plat::PostMessage(window, MWM_EXIT, 0, 0);
    } else {
        plat::SetTimer(window, kWatchTimer, kTickMs);
    }
}
