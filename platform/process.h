// Processes: watching another process by id, and starting one (for the peer side).
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

// Opens a process by id with full access (OpenProcess / pidfd_open). Null on failure.
ProcessHandle OpenProcessById(std::uint32_t pid);
// True while the process runs (Windows: GetProcessTimes succeeds and the exit time is zero).
bool IsProcessRunning(ProcessHandle process);
void CloseProcess(ProcessHandle process);

// What a started program's standard streams are.
enum class ChildOutput {
    Inherited,  // this process's own streams
    ErrorsOnly, // no input, no output; standard error inherited
    Detached,   // no input, output or errors: nothing holds this process's terminal or pipes
};

// Starts `program` (a UTF-8 path) with the command line `arguments` (the part after the program
// name, split at blanks on Linux). Null on failure. On Windows a program started here has no
// console streams of its own to redirect, so `output` only matters on Linux.
ProcessHandle StartProcess(const std::string& program, const std::u16string& arguments,
                           ChildOutput output = ChildOutput::Inherited);
std::uint32_t ProcessId(ProcessHandle process);
// Waits up to `timeoutMs` for the process to end; true when it has ended.
bool WaitProcess(ProcessHandle process, std::uint32_t timeoutMs);
// Ends the process forcibly (a peer giving up on its agent; test clean-up).
void KillProcess(ProcessHandle process);
// The exit code of a process this program started, once it has ended (false before that).
bool ProcessExitCode(ProcessHandle process, std::uint32_t& exitCode);

// Full path of the running program's executable in UTF-8 (programs started beside it are found
// there); empty when it cannot be read.
std::string CurrentProgramPath();

// Writes UTF-8 text to the standard output the program was started with. A Windows GUI program
// has none when started from a console window: it writes to that console instead. False when
// there is nowhere to write.
bool WriteStandardOutput(const std::string& text);

} // namespace plat
