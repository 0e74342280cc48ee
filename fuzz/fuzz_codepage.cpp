// The code-page conversions (UTF-16 to and from the ANSI code page, 950 and UTF-8), the "C"
// narrowing and the number reader, with exact and one-short heap buffers so that
// AddressSanitizer sees any write past the capacity given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"

namespace {

[[noreturn]] void Fail(const char* what, std::uint32_t codePage, int n) {
    std::fprintf(stderr, "codepage %u: %s (%d)\n", static_cast<unsigned>(codePage), what, n);
    std::abort();
}

template <typename Out, typename Convert> void CheckSizes(std::uint32_t codePage, Convert convert) {
    const int needed = convert(nullptr, 0);
    if (needed < 0) {
        Fail("negative size", codePage, needed);
    }
    if (needed == 0) {
        return;
    }
    std::unique_ptr<Out[]> exact(new Out[static_cast<std::size_t>(needed)]);
    const int written = convert(exact.get(), needed);
    if (written != needed) {
        Fail("exact buffer not filled", codePage, written);
    }
    if (needed > 1) {
        std::unique_ptr<Out[]> shorter(new Out[static_cast<std::size_t>(needed - 1)]);
        const int n = convert(shorter.get(), needed - 1);
        if (n != 0) {
            Fail("short buffer accepted", codePage, n);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 64 * 1024) {
        return 0;
    }
    // The first byte picks the flags and the code page; the rest is the text in both readings.
    const std::uint32_t flags = (data[0] & 1) != 0 ? plat::kMbErrInvalidChars : 0;
    const std::uint32_t codePages[] = {plat::kCpAcp, plat::kCpBig5, plat::kCpUtf8, 1252u};
    const std::uint32_t codePage = codePages[(data[0] >> 1) % 4];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const int length = static_cast<int>(size - 1);
    std::u16string wide(static_cast<std::size_t>(length) / 2, u'\0');
    std::memcpy(&wide[0], bytes, wide.size() * 2);
    const std::string terminated(bytes, static_cast<std::size_t>(length));

    {
        if (length > 0) {
            CheckSizes<char16_t>(codePage, [&](char16_t* dst, int cap) {
                return plat::MultiByteToWide(codePage, flags, bytes, length, dst, cap);
            });
        }
        CheckSizes<char16_t>(codePage, [&](char16_t* dst, int cap) {
            return plat::MultiByteToWide(codePage, flags, terminated.c_str(), -1, dst, cap);
        });
        if (!wide.empty()) {
            CheckSizes<char>(codePage, [&](char* dst, int cap) {
                return plat::WideToMultiByte(codePage, 0, wide.data(),
                                             static_cast<int>(wide.size()), dst, cap);
            });
        }
        CheckSizes<char>(codePage, [&](char* dst, int cap) {
            return plat::WideToMultiByte(codePage, 0, wide.c_str(), -1, dst, cap);
        });
    }

    // The "C" narrowing never writes more than n bytes.
    for (std::size_t n : {std::size_t(0), std::size_t(1), wide.size(), wide.size() + 1}) {
        std::unique_ptr<char[]> dst(new char[n == 0 ? 1 : n]);
        const std::size_t written =
            plat::NarrowCLocale(n == 0 ? nullptr : dst.get(), wide.c_str(), n);
        if (n != 0 && written != static_cast<std::size_t>(-1) && written > n) {
            Fail("narrowing wrote past n", 0, static_cast<int>(written));
        }
    }
    plat::WideToLong(wide.c_str());
    return 0;
}
