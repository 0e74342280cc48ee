#include "host/Framing.h"

#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace host {

namespace {

// Reads exactly `size` bytes; the count read before the input ended otherwise.
std::size_t read_fully(std::FILE* in, void* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t n = std::fread(static_cast<char*>(buffer) + done, 1, size - done, in);
        if (n == 0) {
            break; // end of input or an error: either way no more bytes come
        }
        done += n;
    }
    return done;
}

} // namespace

void use_binary_stdio() {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

frame read_frame(std::FILE* in, std::uint32_t limit) {
    frame out;
    unsigned char prefix[4];
    const std::size_t got = read_fully(in, prefix, sizeof prefix);
    if (got == 0) {
        out.status = frame_status::end;
        return out;
    }
    if (got < sizeof prefix) {
        out.status = frame_status::truncated;
        return out;
    }
    std::memcpy(&out.length, prefix, sizeof out.length); // native byte order
    if (out.length > limit) {
        out.status = frame_status::too_large;
        return out;
    }
    out.body.resize(out.length);
    if (out.length > 0 && read_fully(in, &out.body[0], out.length) < out.length) {
        out.body.clear();
        out.status = frame_status::truncated;
        return out;
    }
    out.status = frame_status::message;
    return out;
}

bool write_frame(std::FILE* out, const std::string& body) {
    const std::uint32_t length = static_cast<std::uint32_t>(body.size());
    unsigned char prefix[4];
    std::memcpy(prefix, &length, sizeof prefix);
    return std::fwrite(prefix, 1, sizeof prefix, out) == sizeof prefix &&
           std::fwrite(body.data(), 1, body.size(), out) == body.size() && std::fflush(out) == 0;
}

} // namespace host
