// One hexadecimal digit's value, for the script's hex payloads and the URI's percent escapes.
#pragma once

namespace peer {

// 0..15, or -1 when `c` is not a hex digit (either case).
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace peer
