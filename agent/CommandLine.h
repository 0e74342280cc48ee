// The agent's command line: up to three fields, each introduced by "-/" and ended by a space:
// the peer's process id, the request channel's name, the log channel's name.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::size_t kCommandLineUnits = 256; // the buffer, terminator included

struct CommandLine {
    std::uint32_t processId = 0xFFFFFFFFu; // -1 when the first field is absent
    std::u16string memName;                // request channel, empty when absent
    std::u16string memName2;               // log channel, empty when absent
};

// A line longer than 255 units is cut there before it is parsed.
CommandLine ParseCommandLine(const std::u16string& line);

// What `tessivo --help` and `tessivo --version` ask for. Only a line that is exactly one of those
// words (blanks around it aside) counts: any other line, and every line the peer writes, is the
// agent's command line above.
enum class InfoRequest { None, Help, Version };
InfoRequest AskedForInfo(const std::u16string& line);
