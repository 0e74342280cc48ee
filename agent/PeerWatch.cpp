// Each tick kills its timer and re-arms it only while the watch goes on.
#include "agent/PeerWatch.h"

#include "platform/process.h"
#include "platform/window.h"
#include "protocol/Messages.h"

namespace {

constexpr std::int32_t kHelloTicksAllowed = 10;
constexpr std::int32_t kPeerGoneChecksAllowed = 20;

} // namespace

bool PeerWatch::OnTimer(plat::WindowHandle window, std::uintptr_t timerId) {
    if (timerId == kHelloTimer) {
        return OnHelloTick(window);
    }
    if (timerId == kWatchTimer) {
        OnWatchTick(window);
    }
    return false;
}

void PeerWatch::Watch(plat::ProcessHandle process) {
    if (peerProcess_ != nullptr && peerProcess_ != process) {
        plat::CloseProcess(peerProcess_);
    }
    peerProcess_ = process;
}

plat::ProcessHandle PeerWatch::Release() {
    plat::ProcessHandle process = peerProcess_;
    peerProcess_ = nullptr;
    return process;
}

bool PeerWatch::OnHelloTick(plat::WindowHandle window) {
    plat::KillTimer(window, kHelloTimer);
    if (processId != kNoProcess) {
        // A tick can only repeat if someone sends WM_TIMER by hand; keep one handle then.
        Watch(plat::OpenProcessById(processId));
        plat::SetTimer(window, kWatchTimer, kTickMs);
        return true;
    }
    std::int32_t ticks = helloTicks_++;
    if (ticks < kHelloTicksAllowed) {
        plat::SetTimer(window, kHelloTimer, kTickMs);
    } else {
        plat::PostMessage(window, MWM_EXIT, 0, 0);
    }
    return false;
}

void PeerWatch::OnWatchTick(plat::WindowHandle window) {
    plat::KillTimer(window, kWatchTimer);
    bool running = peerProcess_ != nullptr && plat::IsProcessRunning(peerProcess_);
    if (running) {
        peerGoneCount_ = 0;
    } else {
        ++peerGoneCount_;
    }
    if (peerGoneCount_ > kPeerGoneChecksAllowed) {
        plat::PostMessage(window, MWM_EXIT, 0, 0);
    } else {
        plat::SetTimer(window, kWatchTimer, kTickMs);
    }
}
