// Reading a secret (a PIN) from the user's terminal without echoing it.
#pragma once

#include <string>

namespace plat {

// Prints `prompt` to the terminal and reads one line with echo turned off, as UTF-8 without the
// line end. False when there is no terminal to read from (the caller may read standard input).
bool ReadSecretLine(const std::string& prompt, std::string& line);

} // namespace plat
