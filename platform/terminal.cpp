// Reading standard input a line at a time, on each system's unbuffered read of one byte.
#include "platform/terminal.h"

#include <cerrno>

namespace plat {

bool ReadStandardInputLine(std::string& line) {
    line.clear();
    line.reserve(256); // no reallocation leaving copies behind for any PIN-sized line
    char c = 0;
    bool any = false;
    for (;;) {
        const int n = detail::ReadStandardInputByte(c);
        if (n != 1) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        any = true;
        if (c == '\n') {
            break;
        }
        line.push_back(c);
    }
    c = 0;
    return any;
}

} // namespace plat
