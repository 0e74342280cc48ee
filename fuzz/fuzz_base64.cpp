// The lenient Base64 decoder on arbitrary text, and the line-broken encoder's round trip.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "protocol/Base64.h"

namespace {

bool IsAlphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "base64: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const std::vector<std::uint8_t> decoded = tessivo::DecodeBase64Lenient(text, size);

    // Three bytes per four alphabet characters; a last group of 3 gives two, of 2 one.
    std::size_t sextets = 0;
    for (std::size_t i = 0; i < size; ++i) {
        sextets += IsAlphabet(data[i]) ? 1 : 0;
    }
    const std::size_t tail[] = {0, 0, 1, 2};
    if (decoded.size() != sextets / 4 * 3 + tail[sextets % 4]) {
        Fail("decoded length does not follow the character count");
    }

    const std::string encoded = tessivo::EncodeBase64Lines(data, size);
    if (tessivo::DecodeBase64Lenient(encoded) != std::vector<std::uint8_t>(data, data + size)) {
        Fail("encoding does not decode to the data");
    }
    return 0;
}
