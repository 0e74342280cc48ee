#include "platform/command_line.h"

namespace plat {

std::vector<std::string> CommandLineUtf8(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void UseUtf8Console() {}

} // namespace plat
