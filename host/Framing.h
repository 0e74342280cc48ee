// Native messaging frames: a 4-byte length in the machine's byte order, then that many bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace host {

// The most a request may be: a signing request with a large certificate is a few kilobytes.
inline constexpr std::uint32_t kMaxRequestBytes = 64 * 1024;
// The most the browser takes from a host in one message.
inline constexpr std::uint32_t kMaxReplyBytes = 1024 * 1024;

enum class FrameStatus {
    Message,   // a whole frame; `body` holds it (possibly empty)
    End,       // the input ended before a frame began
    Truncated, // the input ended inside a frame
    TooLarge,  // the length is above the limit; nothing of the body was read
};

// A request may hold a PIN: its body is wiped when the frame goes.
struct Frame {
    FrameStatus status = FrameStatus::End;
    std::uint32_t length = 0;
    std::string body;
    Frame() = default;
    Frame(Frame&& other) noexcept; // leaves `other` wiped
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame();
};

// Standard input and output carry bytes, not text (no CR LF translation on Windows).
void UseBinaryStdio();

// Reads one frame from the file descriptor `in`, waiting for every byte of it. The bytes go
// straight into the frame's body, never through the C library's buffer, where a PIN would stay
// until the next request overwrote it.
Frame ReadFrame(int in, std::uint32_t limit = kMaxRequestBytes);
// Writes one frame and flushes it. False when the output is gone.
bool WriteFrame(std::FILE* out, const std::string& body);

} // namespace host
