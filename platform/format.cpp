// The variadic entry points of the formatter, shared by both platforms' FormatList.
#include "platform/format.h"

namespace plat {

int FormatInto(char16_t* out, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = FormatList(out, format, args);
    va_end(args);
    return length;
}

std::u16string Format(const char16_t* format, ...) {
    char16_t buffer[kFormatLimit];
    va_list args;
    va_start(args, format);
    const int length = FormatList(buffer, format, args);
    va_end(args);
    return std::u16string(buffer, static_cast<std::size_t>(length));
}

} // namespace plat
