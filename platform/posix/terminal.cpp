// The PIN prompt on Linux: the controlling terminal with ECHO off, restored afterwards.
#include "platform/terminal.h"

#include <unistd.h>

#include <csignal>
#include <iterator>

#include <signal.h>

#include <fcntl.h>
#include <termios.h>

#include "platform/posix/posix_util.h"

namespace plat {

namespace {

// While echo is off, a signal that ends the program first gives the terminal its echo back.
int g_tty = -1;
termios g_saved{};
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RestoreAndRaise(int signalNumber) {
    tcsetattr(g_tty, TCSANOW, &g_saved);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

struct EchoGuard {
    struct sigaction previous[std::size(kEndingSignals)] = {};
    EchoGuard(int tty, const termios& saved) {
        g_tty = tty;
        g_saved = saved;
        struct sigaction action = {};
        action.sa_handler = RestoreAndRaise;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            sigaction(kEndingSignals[i], &action, &previous[i]);
        }
    }
    ~EchoGuard() {
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            sigaction(kEndingSignals[i], &previous[i], nullptr);
        }
        g_tty = -1;
    }
};

} // namespace

bool ReadSecretLine(const std::string& prompt, std::string& line) {
    detail::UniqueFd tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!tty) {
        return false;
    }
    termios saved{};
    if (tcgetattr(tty.Get(), &saved) != 0) {
        return false;
    }
    const EchoGuard guard(tty.Get(), saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    if (tcsetattr(tty.Get(), TCSAFLUSH, &quiet) != 0) {
        return false;
    }
    if (!prompt.empty() && write(tty.Get(), prompt.data(), prompt.size()) < 0) {
        // The prompt is a courtesy; reading goes on.
    }
    line.clear();
    char c = 0;
    bool ok = false;
    while (read(tty.Get(), &c, 1) == 1) {
        if (c == '\n' || c == '\r') {
            ok = true;
            break;
        }
        line.push_back(c);
    }
    c = 0;
    tcsetattr(tty.Get(), TCSAFLUSH, &saved);
    if (!ok) {
        for (volatile char& byte : line) {
            byte = 0;
        }
        line.clear();
    }
    return ok;
}

namespace detail {
int ReadStandardInputByte(char& byte) {
    return static_cast<int>(read(STDIN_FILENO, &byte, 1));
}
} // namespace detail

} // namespace plat
