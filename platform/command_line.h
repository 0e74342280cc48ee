// The program's arguments and console output in UTF-8 on both platforms.
#pragma once

#include <string>
#include <vector>

namespace plat {

// The arguments, program name first, as UTF-8. Windows hands `argv` over in the ANSI code page,
// which loses what it lacks, so there they are read again from the UTF-16 command line.
std::vector<std::string> CommandLineUtf8(int argc, char** argv);

// Lets UTF-8 text written to standard output and standard error show as such on a console
// (Windows: the console's output code page becomes UTF-8; pipes and files get the bytes as
// they are). Nothing to do on Linux.
void UseUtf8Console();

} // namespace plat
