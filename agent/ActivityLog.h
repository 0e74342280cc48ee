// The activity log: one console entry per line, each forwarded to the peer through the log
// channel while the agent has a window.
#pragma once

#include <cstdint>
#include <string>

#include "agent/Channels.h"
#include "platform/types.h"

class ActivityLog {
public:
    explicit ActivityLog(const Channel& logChannel) : logChannel_(logChannel) {}

    // The window that forwarding needs and the console the entries go to.
    void Attach(plat::WindowHandle window, plat::WindowHandle console) {
        window_ = window;
        console_ = console;
    }
    // The peer's own window, once MWM_HELLO has found it.
    void SetWindow(plat::WindowHandle window) { window_ = window; }
    const plat::WindowHandle& Window() const { return window_; }
    const plat::WindowHandle& Console() const { return console_; }

    // One entry on `console` (nothing without one), forwarded when the window is set and the
    // log channel is open.
    void Append(plat::WindowHandle console, const char16_t* text);
    // WriteSharedMemory's result on the log channel, or 0 when it is not open.
    std::int32_t Forward(const unsigned char* frame, std::int32_t length);
    // One entry on the attached console.
    void Line(const std::u16string& line) { Append(console_, line.c_str()); }

private:
    const Channel& logChannel_;
    plat::WindowHandle window_ = 0;
    plat::WindowHandle console_ = 0;
};
