#include "host/Framing.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "platform/secure_memory.h"

namespace host {

namespace {

long ReadSome(int fd, char* buffer, std::size_t size) {
#if defined(_WIN32)
    return _read(fd, buffer, static_cast<unsigned>(size));
#else
    return static_cast<long>(read(fd, buffer, size));
#endif
}

// Reads exactly `size` bytes straight into `buffer`; the count read before the input ended
// otherwise.
std::size_t ReadFully(int fd, void* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const long n = ReadSome(fd, static_cast<char*>(buffer) + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // end of input or an error: either way no more bytes come
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace

void UseBinaryStdio() {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

Frame::Frame(Frame&& other) noexcept
    : status(other.status), length(other.length), body(std::move(other.body)) {
    plat::WipeString(other.body);
}

Frame::~Frame() {
    plat::WipeString(body);
}

Frame ReadFrame(int in, std::uint32_t limit) {
    Frame out;
    unsigned char prefix[4];
    const std::size_t got = ReadFully(in, prefix, sizeof prefix);
    if (got == 0) {
        out.status = FrameStatus::End;
        return out;
    }
    if (got < sizeof prefix) {
        out.status = FrameStatus::Truncated;
        return out;
    }
    std::memcpy(&out.length, prefix, sizeof out.length); // native byte order
    if (out.length > limit) {
        out.status = FrameStatus::TooLarge;
        return out;
    }
    out.body.resize(out.length);
    if (out.length > 0 && ReadFully(in, &out.body[0], out.length) < out.length) {
        plat::WipeString(out.body);
        out.status = FrameStatus::Truncated;
        return out;
    }
    out.status = FrameStatus::Message;
    return out;
}

bool WriteFrame(std::FILE* out, const std::string& body) {
    const std::uint32_t length = static_cast<std::uint32_t>(body.size());
    unsigned char prefix[4];
    std::memcpy(prefix, &length, sizeof prefix);
    return std::fwrite(prefix, 1, sizeof prefix, out) == sizeof prefix &&
           std::fwrite(body.data(), 1, body.size(), out) == body.size() && std::fflush(out) == 0;
}

} // namespace host
