// What the platform tests and their helper process platform_peer agree on.
#pragma once

#include <string>

#include "platform/process.h"
#include "platform/window.h"

namespace peer_protocol {

inline constexpr char16_t kClassName[] = u"TESSIVO";

// Messages the helper's window understands.
inline constexpr plat::Message kEcho = plat::kWmUser + 1;     // returns wParam * 1000 + lParam
inline constexpr plat::Message kWhoAmI = plat::kWmUser + 2;   // returns the helper's process id
inline constexpr plat::Message kQuit = plat::kWmUser + 3;     // posted: ends the loop with wParam
inline constexpr plat::Message kDie = plat::kWmUser + 4;      // sent: the process exits at once
inline constexpr plat::Message kCallBack = plat::kWmUser + 5; // sends kEcho(lParam, 1) to the
                                                              // window wParam, returns that + 1
inline constexpr plat::Message kSlow = plat::kWmUser + 6;     // sleeps wParam ms, returns lParam
inline constexpr plat::Message kDestroy = plat::kWmUser + 7;  // destroys the window, runs on

// Exit codes of the helper's "map" mode.
inline constexpr int kMapSeen = 0;
inline constexpr int kMapOpenFailed = 2;
inline constexpr int kMapWrongContent = 3;
inline constexpr unsigned char kMapReply = 0x5A; // written at offset 1 by the helper

// The helper program, beside the running test program.
inline std::string HelperPath(const char* fileName) {
    const std::string self = plat::CurrentProgramPath();
    const std::size_t slash = self.find_last_of("/\\");
    return self.substr(0, slash == std::string::npos ? 0 : slash + 1) + fileName;
}

} // namespace peer_protocol
