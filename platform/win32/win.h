// <windows.h> for the Win32 platform units, without the macros that would rename our own
// functions (SendMessage -> SendMessageW and the like).
#pragma once

#include <windows.h>

#undef SendMessage
#undef SendMessageTimeout
#undef PostMessage
#undef DefWindowProc
#undef CreateWindow
#undef LoadModule

#include <string>

namespace plat::detail {

inline const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

} // namespace plat::detail
