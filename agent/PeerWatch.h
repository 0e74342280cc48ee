// The peer watch: timer 100 waits for the peer's process id, timer 101 checks that the peer
// still runs; the agent is told to end (MWM_EXIT) when neither goes on.
#pragma once

#include <cstdint>

#include "platform/types.h"

// The timers and their periods in milliseconds.
inline constexpr std::uintptr_t kHelloTimer = 100;
inline constexpr std::uintptr_t kWatchTimer = 101;
inline constexpr std::uint32_t kFirstTickMs = 18;
inline constexpr std::uint32_t kTickMs = 100;

inline constexpr std::uint32_t kNoProcess = 0xFFFFFFFFu;

class PeerWatch {
public:
    PeerWatch() = default;
    // The system would release the peer's handle with the process; closing it keeps a watch
    // that ends early (as in tests) from leaking it.
    ~PeerWatch() { Watch(nullptr); }
    PeerWatch(const PeerWatch&) = delete;
    PeerWatch& operator=(const PeerWatch&) = delete;

    // One tick of `timerId` on `window`; other ids are ignored. True on the tick that found the
    // peer's process id and opened the process: the caller completes the channel set-up then.
    bool OnTimer(plat::WindowHandle window, std::uintptr_t timerId);

    // The process watched from now on; the one held before is closed.
    void Watch(plat::ProcessHandle process);
    // Gives the watched process up without closing it.
    plat::ProcessHandle Release();

    const std::int32_t& HelloTicks() const { return helloTicks_; }
    const std::int32_t& PeerGoneCount() const { return peerGoneCount_; }
    const plat::ProcessHandle& PeerProcess() const { return peerProcess_; }

    // The peer's id, from the command line or MWM_HELLO.
    std::uint32_t processId = kNoProcess;

private:
    bool OnHelloTick(plat::WindowHandle window);
    void OnWatchTick(plat::WindowHandle window);

    std::int32_t helloTicks_ = 0;
    std::int32_t peerGoneCount_ = 0;
    plat::ProcessHandle peerProcess_ = nullptr;
};
