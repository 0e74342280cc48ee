#include "peer/Session.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "peer/ModuleView.h"
#include "peer/Translate.h"
#include "platform/codepage.h"
#include "platform/module_choice.h"
#include "platform/process.h"
#include "platform/window.h"
#include "protocol/Frames.h"
#include "protocol/Messages.h"

namespace peer {

namespace {

// Waits for the agent start short and grow: a fast start is seen at once, and the agent's first
// tick (18 ms after its window appears), which a one-shot command waits for in full, within a
// tenth of a millisecond. A start that takes longer than a normal one is looked at every 2 ms,
// so that even a slow start keeps no core busy.
constexpr std::chrono::microseconds kFirstPoll{50};
constexpr std::chrono::microseconds kShortPoll{100};
constexpr std::chrono::microseconds kLongPoll{2000};
constexpr std::chrono::milliseconds kNormalStart{100};
// The most of the log frame that is read: its header and a console line's text.
constexpr std::size_t kLogFrameRead = tessivo::kLogTextOffset + 4096;
constexpr std::uint32_t kExitWaitMs = 5000;

std::u16string AsciiToU16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// Names of this process's own, never used twice: channels of an agent that stopped answering
// must not be mistaken for those of the next one.
std::u16string OwnName(const char* role, std::uint32_t session) {
    return AsciiToU16(std::string("TessivoPeer") + role + "." +
                      std::to_string(plat::CurrentProcessId()) +
                      (session > 1 ? "." + std::to_string(session) : std::string()));
}

void SetModuleVariable(const std::string& module) {
#if defined(_WIN32)
    _putenv_s(plat::kPkcs11ModuleVariable, module.c_str());
#else
    setenv(plat::kPkcs11ModuleVariable, module.c_str(), 1);
#endif
}

class Backoff {
public:
    void Wait() {
        std::this_thread::sleep_for(pause_);
        const bool slow = std::chrono::steady_clock::now() - start_ > kNormalStart;
        pause_ = slow ? kLongPoll : std::min(pause_ * 2, kShortPoll);
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::microseconds pause_ = kFirstPoll;
};

// Looked for at least once, however late: a caller may come back to it after its own work.
plat::WindowHandle WaitForWindow(std::uint32_t pid, plat::ProcessHandle process,
                                 std::chrono::steady_clock::time_point deadline) {
    Backoff pause;
    for (;;) {
        plat::WindowHandle window = plat::FindTopLevelWindow(kAgentWindowClass, pid);
        if (window != 0 || !plat::IsProcessRunning(process) ||
            std::chrono::steady_clock::now() >= deadline) {
            return window;
        }
        pause.Wait();
    }
}

std::u16string ToU16(std::uint32_t value) {
    return AsciiToU16(std::to_string(value));
}

// Whole seconds as such, anything else with one decimal.
std::string SecondsText(std::uint32_t ms) {
    if (ms % 1000 == 0) {
        return std::to_string(ms / 1000);
    }
    const std::uint32_t tenths = (ms + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

#if defined(_WIN32)
constexpr const char* kAgentProgram = "tessivo.exe";
#else
constexpr const char* kAgentProgram = "tessivo";
#endif

} // namespace

std::string DefaultAgentPath() {
    return (std::filesystem::path(plat::CurrentProgramPath()).parent_path() / kAgentProgram)
        .string();
}

AgentSession::~AgentSession() {
    if (process_ != nullptr && lost_.empty() && window_ == 0 && plat::IsProcessRunning(process_)) {
        // Launched, and its caller gave up before it looked for the window: end it as below
        // once it has one, rather than kill it in the middle of its start.
        std::string ignored;
        WaitWindow(ignored);
    }
    // The agent would notice its peer gone only after its watch gives up (about two seconds),
    // holding the card session and the return channel's name until then: end it now.
    RequestExit();
    if (exitRequested_ && !plat::WaitProcess(process_, kExitWaitMs)) {
        // The request was lost or the agent is stuck: it must not outlive this process, still
        // holding the card session.
        EndAgent();
    }
    if (process_ != nullptr) {
        plat::CloseProcess(process_);
    }
}

void AgentSession::EndAgent() const {
    plat::KillProcess(process_);
    plat::WaitProcess(process_, kExitWaitMs);
}

void AgentSession::RequestExit() {
    if (!exitRequested_ && process_ != nullptr && lost_.empty() && window_ != 0 &&
        plat::IsProcessRunning(process_)) {
        plat::PostMessage(window_, MWM_EXIT, 0, 0);
        exitRequested_ = true;
    }
}

bool AgentSession::Start(const SessionOptions& options, std::string& error) {
    return Launch(options, error) && WaitWindow(error);
}

bool AgentSession::Launch(const SessionOptions& options, std::string& error) {
    static std::uint32_t sessions = 0;
    ++sessions;
    sendTimeoutMs_ = options.sendTimeoutMs;
    windowTimeoutMs_ = options.windowTimeoutMs;
    std::u16string requestName =
        options.requestName.empty() ? OwnName("Request", sessions) : options.requestName;
    std::u16string logName = options.logName.empty() ? OwnName("Log", sessions) : options.logName;
    // Their memory is taken once the agent is on its way: it has no use for them before its
    // first tick, and its start is what a one-shot command waits for.
    request_ = Channel::Create(requestName, plat::Space::Later);
    const std::uint32_t requestError = plat::LastError();
    log_ = Channel::Create(logName, plat::Space::Later);
    if (!request_.IsOpen() || !log_.IsOpen()) {
        error = Tr("cannot create the request and log channels: %s",
                   plat::ErrorText(!request_.IsOpen() ? requestError : plat::LastError()));
        return false;
    }
#if !defined(_WIN32)
    // The agent loads the module this peer chose, by the same rule when none was given.
    SetModuleVariable(AgentModulePath(options.modulePath, options.agentPath));
#else
    if (!options.modulePath.empty()) {
        SetModuleVariable(options.modulePath);
    }
#endif
    std::u16string commandLine =
        u"-/" + ToU16(plat::CurrentProcessId()) + u" -/" + requestName + u" -/" + logName;
    windowDeadline_ =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.windowTimeoutMs);
    process_ = plat::StartProcess(options.agentPath, commandLine,
                                  options.showAgentLines ? plat::ChildOutput::ErrorsOnly
                                                         : plat::ChildOutput::Detached);
    if (process_ == nullptr) {
        error = Tr("cannot start the agent %s", options.agentPath);
        return false;
    }
    pid_ = plat::ProcessId(process_);
    if (!request_.Reserve() || !log_.Reserve()) {
        error = Tr("cannot create the request and log channels: %s",
                   plat::ErrorText(plat::LastError()));
        EndAgent();
        return false;
    }
    // While the agent starts, not at the first request; the log channel's pages are then ready
    // when the agent maps it.
    request_.Ready();
    log_.MapNow();
    return true;
}

bool AgentSession::WaitWindow(std::string& error) {
    if (window_ != 0) {
        return true;
    }
    if (process_ == nullptr) {
        error = "the agent was not started";
        return false;
    }
    window_ = WaitForWindow(pid_, process_, windowDeadline_);
    if (window_ == 0) {
        // An agent that never showed its window is of no use and must not linger.
        const bool running = plat::IsProcessRunning(process_);
        if (running) {
            EndAgent();
        }
        error = running ? Tr("the agent's window did not appear within %s s; the agent was ended",
                             SecondsText(windowTimeoutMs_))
                        : Tr("the agent ended before its window appeared");
        return false;
    }
    return true;
}

bool AgentSession::WaitReady(std::string& error) {
    Backoff pause;
    for (;;) {
        // Looked at once at least: a caller busy past the deadline finds a ready agent ready.
        const bool late = std::chrono::steady_clock::now() >= windowDeadline_;
        if (!LatestLog().empty()) {
            return true;
        }
        if (!plat::IsProcessRunning(process_)) {
            error = Tr("the agent ended before it was ready");
            return false;
        }
        if (late) {
            break;
        }
        pause.Wait();
    }
    // A module that never finishes its start keeps the agent from its first tick: it would
    // answer nothing, and must not linger.
    EndAgent();
    lost_ = Tr("the agent was not ready within %s s; the agent was ended",
               SecondsText(windowTimeoutMs_));
    error = lost_;
    return false;
}

std::int32_t AgentSession::Send(std::uint32_t message, std::uintptr_t wparam,
                                std::intptr_t lparam) {
    if (!lost_.empty()) {
        throw AgentError(lost_);
    }
    plat::LResult result = 0;
    if (plat::SendMessageTimeout(window_, message, wparam, lparam, sendTimeoutMs_, result)) {
        return static_cast<std::int32_t>(result);
    }
    const bool timedOut = plat::LastError() == plat::kSendTimedOut;
    // Alive but silent, or half gone: a reply that came later could be taken for the answer to a
    // later request, since frames carry no request id. This agent is finished either way.
    if (process_ != nullptr && plat::IsProcessRunning(process_)) {
        EndAgent();
    }
    lost_ = timedOut ? Tr("the agent did not answer within %s s and was ended",
                          SecondsText(sendTimeoutMs_))
                     : Tr("the agent ended unexpectedly");
    request_ = Channel();
    log_ = Channel();
    returned_ = Channel();
    throw AgentError(lost_);
}

std::vector<std::uint8_t> AgentSession::ReadReturn(std::size_t length,
                                                   const std::string& announced) const {
    if (!lost_.empty()) {
        return {};
    }
    std::vector<std::u16string> names;
    if (!announced.empty()) {
        names.push_back(AsciiToU16(announced));
    } else {
        names = {PerAgentChannelName(kReturnChannelName, pid_), kReturnChannelName,
                 PerAgentChannelName(kReturnChannelFallback, pid_), kReturnChannelFallback};
    }
    for (const std::u16string& name : names) {
        // The agent keeps its return channel for its whole life: opened once, read each time.
        if (returned_.IsOpen() && returned_.Name() == name) {
            return returned_.Read(length);
        }
        Channel opened = Channel::Open(name);
        if (opened.IsOpen()) {
            returned_ = std::move(opened);
            return returned_.Read(length);
        }
    }
    return {};
}

std::string AgentSession::LatestLog() const {
    if (!log_.IsOpen()) {
        return {};
    }
    return tessivo::DecodeLogFrame(log_.Read(kLogFrameRead));
}

std::string AnsiToUtf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    int units = plat::MultiByteToWide(plat::kCpAcp, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    plat::MultiByteToWide(plat::kCpAcp, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          units);
    int bytes = plat::WideToMultiByte(plat::kCpUtf8, 0, wide.data(), units, nullptr, 0);
    if (bytes <= 0) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    plat::WideToMultiByte(plat::kCpUtf8, 0, wide.data(), units, utf8.data(), bytes);
    return utf8;
}

} // namespace peer
