// Reading a secret (a PIN) from the user's terminal without echoing it.
#pragma once

#include <string>

namespace plat {

// Prints `prompt` to the terminal and reads one line with echo turned off, as UTF-8 without the
// line end. False when there is no terminal to read from (the caller may read standard input).
bool ReadSecretLine(const std::string& prompt, std::string& line);

// Reads one line of standard input (without its "\n") a byte at a time, past the C library's
// buffer, which would keep a copy of a secret for the rest of the process's life; what follows
// the line stays unread for later reads. False when the input ends before any byte.
bool ReadStandardInputLine(std::string& line);

namespace detail {
// One byte of standard input, unbuffered, by each system's own call: 1 when a byte was read, 0
// at the input's end, negative on an error (errno EINTR: a signal came first, read again).
int ReadStandardInputByte(char& byte);
} // namespace detail

} // namespace plat
