// Processes on Linux through pidfds: a pidfd stays bound to its process even when the id is
// later reused.
#include "platform/text.h"
#include "platform/process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/posix_util.h"

extern char** environ;

namespace plat {
namespace {

struct Process {
    pid_t pid = 0;
    detail::UniqueFd pidfd;
    bool child = false;  // started by us, so we reap it and know its exit code
    bool reaped = false; //
    int status = 0;      // waitpid status once reaped
};

int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool HasEnded(const Process& process, int timeoutMs) {
    if (process.reaped) {
        return true;
    }
    pollfd p{process.pidfd.Get(), POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

void Reap(Process& process) {
    if (process.child && !process.reaped && waitpid(process.pid, &process.status, WNOHANG) > 0) {
        process.reaped = true;
    }
}

std::vector<std::string> SplitArguments(const std::u16string& arguments) {
    std::vector<std::string> words;
    std::string word;
    for (char c : Utf16ToUtf8(arguments)) {
        if (c == ' ' || c == '\t') {
            if (!word.empty()) {
                words.push_back(word);
            }
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

Process* AsProcess(ProcessHandle handle) {
    if (handle == nullptr) {
        errno = EBADF;
    }
    return static_cast<Process*>(handle);
}

} // namespace

ProcessHandle OpenProcessById(std::uint32_t pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) {
        errno = EINVAL; // ERROR_INVALID_PARAMETER
        return nullptr;
    }
    detail::UniqueFd fd(PidfdOpen(static_cast<pid_t>(pid)));
    if (!fd) {
        return nullptr;
    }
    auto* process = new Process;
    process->pid = static_cast<pid_t>(pid);
    process->pidfd = std::move(fd);
    return process;
}

bool IsProcessRunning(ProcessHandle handle) {
    Process* process = AsProcess(handle);
    return process != nullptr && !HasEnded(*process, 0);
}

void CloseProcess(ProcessHandle handle) {
    Process* process = AsProcess(handle);
    if (process == nullptr) {
        return;
    }
    Reap(*process);
    delete process;
}

ProcessHandle StartProcess(const std::string& program, const std::u16string& arguments,
                           ChildOutput output) {
    if (program.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    std::vector<std::string> words = SplitArguments(arguments);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != ChildOutput::Inherited) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (output == ChildOutput::Detached) {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        return nullptr;
    }
    auto* process = new Process;
    process->pid = pid;
    process->child = true;
    process->pidfd.Reset(PidfdOpen(pid));
    if (!process->pidfd) {
        const int saved = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        delete process;
        errno = saved;
        return nullptr;
    }
    return process;
}

std::uint32_t ProcessId(ProcessHandle handle) {
    Process* process = AsProcess(handle);
    return process == nullptr ? 0 : static_cast<std::uint32_t>(process->pid);
}

bool WaitProcess(ProcessHandle handle, std::uint32_t timeoutMs) {
    Process* process = AsProcess(handle);
    if (process == nullptr) {
        return false;
    }
    const int timeout = timeoutMs > static_cast<std::uint32_t>(INT_MAX) ? -1 : int(timeoutMs);
    if (!HasEnded(*process, timeout)) {
        return false;
    }
    if (process->child && !process->reaped &&
        waitpid(process->pid, &process->status, 0) == process->pid) {
        process->reaped = true;
    }
    return true;
}

void KillProcess(ProcessHandle handle) {
    Process* process = AsProcess(handle);
    if (process != nullptr && !process->reaped) {
        syscall(SYS_pidfd_send_signal, process->pidfd.Get(), SIGKILL, nullptr, 0);
    }
}

bool ProcessExitCode(ProcessHandle handle, std::uint32_t& exitCode) {
    Process* process = AsProcess(handle);
    if (process == nullptr) {
        return false;
    }
    if (!process->child) {
        errno = ECHILD; // only a child's status can be collected here
        return false;
    }
    Reap(*process);
    if (!process->reaped) {
        errno = EAGAIN;
        return false;
    }
    const int status = process->status;
    exitCode = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status))
                                 : 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    return true;
}

std::string CurrentProgramPath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool WriteStandardOutput(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fflush(stdout) == 0;
}

} // namespace plat
