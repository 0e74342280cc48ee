// wsprintfW's subset: %d and %ld (32-bit signed), %x (32-bit, lower-case, no leading zeros),
// %02x, %s (UTF-16 string), %%. The output is cut at 1,023 characters plus the terminator.
#pragma once

#include <cstdarg>
#include <string>

namespace plat {

inline constexpr int kFormatLimit = 1024; // output buffer, terminator included

// Formats into `out` (at least kFormatLimit units); returns the number of units written
// without the terminator. %s takes a const char16_t*; %d, %ld and %x take a 32-bit int.
int FormatInto(char16_t* out, const char16_t* format, ...);
std::u16string Format(const char16_t* format, ...);
// The same with the arguments as a va_list; each platform provides it.
int FormatList(char16_t* out, const char16_t* format, va_list args);

} // namespace plat
