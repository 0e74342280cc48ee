// Windows, messages and timers on Linux. A top-level window is a listening Unix-domain socket in
// the user's private runtime directory, named <escaped class>.<pid>.<serial>; its handle packs
// (pid, serial) so it names the same window in every process. Another process's SendMessage
// arrives as one fixed-size record on that socket and is answered with the 32-bit result.
#include "platform/text.h"
#include "platform/window.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/posix_util.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;
using detail::UniqueFd;

static_assert(sizeof(WindowHandle) >= 8, "a window handle packs a process id and a serial");

constexpr std::uint32_t kWireSend = 1;
constexpr std::uint32_t kWirePost = 2;
constexpr std::uint32_t kMinTimerMs = 10; // USER_TIMER_MINIMUM
constexpr std::uint32_t kMaxTimerMs = 0x7FFFFFFF;

// What travels over a window socket; the sender of kWireSend then reads one std::int32_t.
struct WireMessage {
    std::uint32_t kind;
    std::uint32_t serial;
    std::uint32_t message;
    std::uint32_t reserved;
    std::uint64_t wParam;
    std::int64_t lParam;
};
static_assert(sizeof(WireMessage) == 32, "fixed-size record");

struct LocalWindow {
    std::u16string className;
    std::u16string title;
    WindowProc proc = nullptr;
    UniqueFd listener; // none for child windows
    std::string socketPath;
    WindowHandle parent = 0;
    std::shared_ptr<void> childData;
};

struct Connection {
    UniqueFd fd;
    std::string pending; // bytes of a record not yet complete
};

struct PostedMessage {
    WindowHandle window;
    Message message;
    WParam wParam;
    LParam lParam;
};

struct Timer {
    std::uint32_t periodMs;
    Clock::time_point due;
};

struct State {
    std::map<std::u16string, WindowProc> classes; // keyed by upper-cased name
    std::map<std::uint32_t, LocalWindow> windows; // by serial
    std::map<std::uint64_t, Connection> connections;
    std::uint64_t nextConnection = 1;
    // Our connections to other processes' windows, kept between sends: a window's socket is
    // looked up in the directory and connected once, not for every message.
    std::map<WindowHandle, UniqueFd> outgoing;
    std::set<WindowHandle> sending; // windows with a send of ours waiting for its answer
    std::deque<PostedMessage> posted;
    std::map<std::pair<WindowHandle, std::uintptr_t>, Timer> timers;
    std::map<int, std::u16string> strings;
    std::uint32_t nextSerial = 1;
    bool quitPending = false;
    int quitCode = 0;
};

// Never destroyed: the agent's own static object may still touch windows at exit.
State& Global() {
    static State* state = new State;
    return *state;
}

void RemoveSocketsAtExit() {
    for (auto& entry : Global().windows) {
        if (!entry.second.socketPath.empty()) {
            unlink(entry.second.socketPath.c_str());
        }
    }
}

// Every window lookup asks whose handle it is: the pid is kept rather than asked of the kernel
// each time (a tenth of an MWM_SLOT went to getpid), and learnt again by a forked child.
std::uint32_t g_ownPid = 0;

void LearnOwnPid() {
    g_ownPid = static_cast<std::uint32_t>(getpid());
}

std::uint32_t OwnPid() {
    static const bool learnt = [] {
        LearnOwnPid();
        pthread_atfork(nullptr, nullptr, LearnOwnPid);
        return true;
    }();
    (void)learnt;
    return g_ownPid;
}

WindowHandle MakeHandle(std::uint32_t pid, std::uint32_t serial) {
    return (static_cast<WindowHandle>(pid) << 32) | serial;
}
std::uint32_t HandlePid(WindowHandle window) {
    return static_cast<std::uint32_t>(window >> 32);
}
std::uint32_t HandleSerial(WindowHandle window) {
    return static_cast<std::uint32_t>(window & 0xFFFFFFFFu);
}

// Window class names compare without regard to ASCII case, as on Windows.
std::u16string ClassKey(const std::u16string& name) {
    std::u16string key = name;
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
}

LocalWindow* FindLocal(WindowHandle window) {
    if (window == 0 || HandlePid(window) != OwnPid()) {
        return nullptr;
    }
    auto it = Global().windows.find(HandleSerial(window));
    return it == Global().windows.end() ? nullptr : &it->second;
}

struct DirectoryEntry {
    std::string path;
    std::u16string className;
    std::uint32_t pid = 0;
    std::uint32_t serial = 0;
    struct timespec created {};
};

bool ParseNumber(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
    if (n == 0 || n > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<std::uint32_t>(n);
    return true;
}

bool ParseEntryName(const std::string& file, DirectoryEntry& entry) {
    const std::size_t serialDot = file.rfind('.');
    if (serialDot == std::string::npos || serialDot == 0) {
        return false;
    }
    const std::size_t pidDot = file.rfind('.', serialDot - 1);
    if (pidDot == std::string::npos) {
        return false;
    }
    std::string className;
    if (!ParseNumber(file.substr(serialDot + 1), entry.serial) ||
        !ParseNumber(file.substr(pidDot + 1, serialDot - pidDot - 1), entry.pid) ||
        !detail::UnescapeName(file.substr(0, pidDot), className)) {
        return false;
    }
    entry.className = Utf8ToUtf16(className);
    return true;
}

bool OwnerIsAlive(const DirectoryEntry& entry) {
    if (entry.pid == OwnPid()) {
        return Global().windows.count(entry.serial) != 0;
    }
    return kill(static_cast<pid_t>(entry.pid), 0) == 0 || errno == EPERM;
}

// Live windows, newest first; entries whose owner is gone are removed on the way.
std::vector<DirectoryEntry> ScanWindows() {
    std::vector<DirectoryEntry> entries;
    std::string dir;
    const int savedErrno = errno;
    if (!detail::RuntimeDirectory(dir)) {
        return entries;
    }
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) {
        return entries;
    }
    while (dirent* item = readdir(stream)) {
        DirectoryEntry entry;
        struct stat st {};
        entry.path = dir + "/" + item->d_name;
        if (!ParseEntryName(item->d_name, entry) || lstat(entry.path.c_str(), &st) != 0 ||
            !S_ISSOCK(st.st_mode)) {
            continue;
        }
        if (!OwnerIsAlive(entry)) {
            unlink(entry.path.c_str());
            continue;
        }
        entry.created = st.st_mtim;
        entries.push_back(std::move(entry));
    }
    closedir(stream);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        if (a.created.tv_sec != b.created.tv_sec) {
            return a.created.tv_sec > b.created.tv_sec;
        }
        if (a.created.tv_nsec != b.created.tv_nsec) {
            return a.created.tv_nsec > b.created.tv_nsec;
        }
        return a.serial > b.serial;
    });
    errno = savedErrno;
    return entries;
}

bool FindEntry(WindowHandle window, DirectoryEntry& found) {
    for (DirectoryEntry& entry : ScanWindows()) {
        if (entry.pid == HandlePid(window) && entry.serial == HandleSerial(window)) {
            found = std::move(entry);
            return true;
        }
    }
    errno = EBADF; // ERROR_INVALID_WINDOW_HANDLE
    return false;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The socket is bound under `staging` and takes its name `path` only once it listens: a socket
// that is bound but not yet listening refuses connections, and a peer that found the window in
// that moment would lose what it posted. The rename also replaces a leftover of a dead process
// that had our id.
UniqueFd Listen(const std::string& path, const std::string& staging) {
    sockaddr_un address;
    if (!FillAddress(path, address) || !FillAddress(staging, address)) {
        return UniqueFd();
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        return fd;
    }
    unlink(staging.c_str()); // a leftover of a dead process that had our id
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        chmod(staging.c_str(), 0600) != 0 || listen(fd.Get(), 64) != 0 ||
        rename(staging.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(staging.c_str());
        errno = error;
        return UniqueFd();
    }
    return fd;
}

UniqueFd Connect(WindowHandle window) {
    DirectoryEntry entry;
    sockaddr_un address;
    if (!FindEntry(window, entry) || !FillAddress(entry.path, address)) {
        return UniqueFd();
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return fd;
    }
    int r;
    do {
        r = connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        return UniqueFd();
    }
    return fd;
}

bool SendAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// ---- serving this process's window sockets ----

LResult CallProc(WindowHandle window, Message message, WParam wParam, LParam lParam) {
    LocalWindow* local = FindLocal(window);
    if (local == nullptr) {
        errno = EBADF;
        return 0;
    }
    WindowProc proc = local->proc;
    return proc == nullptr ? 0 : proc(window, message, wParam, lParam);
}

void AcceptAll(int listener) {
    State& state = Global();
    for (;;) {
        UniqueFd fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            return;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            peer.uid != geteuid()) {
            continue; // only our own user's processes talk to our windows
        }
        state.connections[state.nextConnection++].fd = std::move(fd);
    }
}

void Deliver(std::uint64_t id, const WireMessage& record) {
    const WindowHandle window = MakeHandle(OwnPid(), record.serial);
    if (record.kind == kWirePost) {
        Global().posted.push_back({window, record.message, static_cast<WParam>(record.wParam),
                                   static_cast<LParam>(record.lParam)});
        return;
    }
    if (record.kind != kWireSend) {
        return;
    }
    if (FindLocal(window) == nullptr) {
        // The window is gone: its sender must see that, not a result of 0.
        Global().connections.erase(id);
        return;
    }
    const LResult result = CallProc(window, record.message, static_cast<WParam>(record.wParam),
                                    static_cast<LParam>(record.lParam));
    // The procedure may have served other messages meanwhile; the connection may be gone.
    auto it = Global().connections.find(id);
    if (it != Global().connections.end()) {
        const std::int32_t reply = static_cast<std::int32_t>(result);
        SendAll(it->second.fd.Get(), &reply, sizeof reply);
    }
}

void ReadConnection(std::uint64_t id) {
    auto it = Global().connections.find(id);
    if (it == Global().connections.end()) {
        return;
    }
    Connection& connection = it->second;
    char buffer[sizeof(WireMessage)];
    const ssize_t n =
        recv(connection.fd.Get(), buffer, sizeof buffer - connection.pending.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        Global().connections.erase(it);
        return;
    }
    connection.pending.append(buffer, static_cast<std::size_t>(n));
    if (connection.pending.size() < sizeof(WireMessage)) {
        return;
    }
    WireMessage record;
    std::memcpy(&record, connection.pending.data(), sizeof record);
    connection.pending.clear();
    Deliver(id, record);
}

// One poll over this process's window sockets (and `extraFd` when not -1), serving whatever is
// ready, waiting at most `timeout` (negative: no limit). Returns true when `extraFd` became
// readable or hung up.
bool ServeSockets(std::chrono::nanoseconds timeout, int extraFd) {
    State& state = Global();
    std::vector<pollfd> fds;
    std::vector<std::pair<bool, std::uint64_t>> what; // (is listener, serial or connection id)
    for (auto& entry : state.windows) {
        if (entry.second.listener) {
            fds.push_back({entry.second.listener.Get(), POLLIN, 0});
            what.emplace_back(true, entry.first);
        }
    }
    for (auto& entry : state.connections) {
        fds.push_back({entry.second.fd.Get(), POLLIN, 0});
        what.emplace_back(false, entry.first);
    }
    if (extraFd >= 0) {
        fds.push_back({extraFd, POLLIN, 0});
    }
    // To the microsecond, not poll's whole milliseconds: a timer fires on time, not up to a
    // millisecond late.
    timespec limit{};
    if (timeout.count() >= 0) {
        limit.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
        limit.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
    }
    const int ready =
        ppoll(fds.data(), fds.size(), timeout.count() >= 0 ? &limit : nullptr, nullptr);
    if (ready <= 0) {
        return false;
    }
    for (std::size_t i = 0; i < what.size(); ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        if (what[i].first) {
            auto it = state.windows.find(static_cast<std::uint32_t>(what[i].second));
            if (it != state.windows.end() && it->second.listener.Get() == fds[i].fd) {
                AcceptAll(fds[i].fd);
            }
        } else {
            ReadConnection(what[i].second);
        }
    }
    return extraFd >= 0 && fds.back().revents != 0;
}

// Waits for the 32-bit answer on `fd`, serving our own windows meanwhile as Windows does; at
// most `timeoutMs` (-1: no limit). False with errno set when the other side closed or time ran
// out.
bool AwaitReply(int fd, int timeoutMs, LResult& result) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        std::chrono::nanoseconds wait(-1);
        if (timeoutMs >= 0) {
            wait = deadline - Clock::now();
            if (wait.count() <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
        }
        if (ServeSockets(wait, fd)) {
            break;
        }
    }
    std::int32_t reply = 0;
    ssize_t n;
    do {
        n = recv(fd, &reply, sizeof reply, MSG_WAITALL);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof reply)) {
        errno = n == 0 ? ECONNRESET : errno; // the window's process died before answering
        return false;
    }
    result = reply;
    return true;
}

// Sends to another process's window and waits for its answer, at most `timeoutMs` (-1: no
// limit). False with errno set when the window is gone, its process died or time ran out.
bool SendToOtherProcess(WindowHandle window, Message message, WParam wParam, LParam lParam,
                        int timeoutMs, LResult& result) {
    const WireMessage record{kWireSend,
                             HandleSerial(window),
                             message,
                             0,
                             static_cast<std::uint64_t>(wParam),
                             static_cast<std::int64_t>(lParam)};
    State& state = Global();
    // A send made while another one to the same window waits (from a procedure we serve
    // meanwhile) gets a connection of its own: answers on one connection come in order.
    if (state.sending.count(window) != 0) {
        UniqueFd fd = Connect(window);
        return fd && SendAll(fd.Get(), &record, sizeof record) &&
               AwaitReply(fd.Get(), timeoutMs, result);
    }
    UniqueFd& kept = state.outgoing[window];
    bool sent = kept && SendAll(kept.Get(), &record, sizeof record);
    if (!sent) {
        // Never connected, or the other side closed the kept connection since (nothing of this
        // message reached it): connect afresh, which also tells whether the window still exists.
        kept = Connect(window);
        sent = kept && SendAll(kept.Get(), &record, sizeof record);
    }
    if (!sent) {
        const int error = errno;
        state.outgoing.erase(window);
        errno = error;
        return false;
    }
    state.sending.insert(window);
    const bool answered = AwaitReply(state.outgoing[window].Get(), timeoutMs, result);
    state.sending.erase(window);
    if (!answered) {
        // A late answer must never be read as the answer to the next message.
        const int error = errno;
        state.outgoing.erase(window);
        errno = error;
    }
    return answered;
}

// ---- timers ----

bool FireDueTimer() {
    State& state = Global();
    auto next = state.timers.end();
    for (auto it = state.timers.begin(); it != state.timers.end(); ++it) {
        if (next == state.timers.end() || it->second.due < next->second.due) {
            next = it;
        }
    }
    const Clock::time_point now = Clock::now();
    if (next == state.timers.end() || next->second.due > now) {
        return false;
    }
    next->second.due = now + std::chrono::milliseconds(next->second.periodMs);
    const auto [window, id] = next->first;
    CallProc(window, kWmTimer, id, 0);
    return true;
}

// Negative when no timer is set.
std::chrono::nanoseconds TimeUntilNextTimer() {
    State& state = Global();
    if (state.timers.empty()) {
        return std::chrono::nanoseconds(-1);
    }
    Clock::time_point first = state.timers.begin()->second.due;
    for (auto& entry : state.timers) {
        first = std::min(first, entry.second.due);
    }
    return std::max(std::chrono::nanoseconds(0), first - Clock::now());
}

void ForgetWindow(WindowHandle window) {
    State& state = Global();
    for (auto it = state.timers.begin(); it != state.timers.end();) {
        it = it->first.first == window ? state.timers.erase(it) : std::next(it);
    }
    state.posted.erase(
        std::remove_if(state.posted.begin(), state.posted.end(),
                       [window](const PostedMessage& m) { return m.window == window; }),
        state.posted.end());
}

} // namespace

// ---- resources and classes ----

std::u16string LoadResourceString(int id, int maxUnits) {
    auto it = Global().strings.find(id);
    if (it == Global().strings.end() || maxUnits <= 1) {
        errno = ENOENT; // ERROR_RESOURCE_NAME_NOT_FOUND
        return {};
    }
    return it->second.substr(0, static_cast<std::size_t>(maxUnits - 1));
}

void RegisterResourceString(int id, const std::u16string& text) {
    Global().strings[id] = text;
}

bool RegisterWindowClass(const std::u16string& className, WindowProc proc, int /*iconId*/) {
    if (className.empty() || proc == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (!Global().classes.emplace(ClassKey(className), proc).second) {
        errno = EEXIST; // ERROR_CLASS_ALREADY_EXISTS
        return false;
    }
    return true;
}

// ---- windows ----

WindowHandle CreateTopLevelWindow(const std::u16string& className, const std::u16string& title,
                                  std::uint32_t /*style*/, int /*x*/, int /*y*/, int /*width*/,
                                  int /*height*/) {
    State& state = Global();
    auto cls = state.classes.find(ClassKey(className));
    if (cls == state.classes.end()) {
        errno = ENOENT; // ERROR_CANNOT_FIND_WND_CLASS
        return 0;
    }
    std::string dir;
    if (!detail::RuntimeDirectory(dir)) {
        return 0;
    }
    const std::uint32_t serial = state.nextSerial++;
    const std::string id = std::to_string(OwnPid()) + "." + std::to_string(serial);
    const std::string path = dir + "/" + detail::EscapeName(Utf16ToUtf8(className)) + "." + id;
    // Never taken for a window (no class part) and never longer than the window's own name.
    UniqueFd listener = Listen(path, dir + "/~" + id);
    if (!listener) {
        return 0;
    }
    static const bool cleanupRegistered = std::atexit(RemoveSocketsAtExit) == 0;
    (void)cleanupRegistered;
    LocalWindow& window = state.windows[serial];
    window.className = className;
    window.title = title;
    window.proc = cls->second;
    window.listener = std::move(listener);
    window.socketPath = path;
    const WindowHandle handle = MakeHandle(OwnPid(), serial);
    if (CallProc(handle, kWmCreate, 0, 0) == -1) {
        DestroyWindow(handle);
        errno = ECANCELED;
        return 0;
    }
    return handle;
}

bool DestroyWindow(WindowHandle window) {
    if (FindLocal(window) == nullptr) {
        errno = window == 0 || HandlePid(window) == OwnPid() ? EBADF : EACCES;
        return false;
    }
    CallProc(window, kWmDestroy, 0, 0);
    State& state = Global();
    std::vector<WindowHandle> children;
    for (auto& entry : state.windows) {
        if (entry.second.parent == window) {
            children.push_back(MakeHandle(OwnPid(), entry.first));
        }
    }
    for (WindowHandle child : children) {
        DestroyWindow(child);
    }
    ForgetWindow(window);
    auto it = state.windows.find(HandleSerial(window));
    if (it != state.windows.end()) {
        if (!it->second.socketPath.empty()) {
            unlink(it->second.socketPath.c_str());
        }
        state.windows.erase(it);
    }
    return true;
}

void ShowWindow(WindowHandle, int) {}
void UpdateWindow(WindowHandle) {}
void PaintNothing(WindowHandle) {}

// There is no desktop here; the agent centres its window on a common screen size.
Rect DesktopRect() {
    return Rect{0, 0, 1920, 1080};
}

// ---- messages ----

LResult SendMessage(WindowHandle window, Message message, WParam wParam, LParam lParam) {
    if (window == 0) {
        errno = EBADF;
        return 0;
    }
    if (HandlePid(window) == OwnPid()) {
        return CallProc(window, message, wParam, lParam);
    }
    LResult result = 0;
    return SendToOtherProcess(window, message, wParam, lParam, -1, result) ? result : 0;
}

bool SendMessageTimeout(WindowHandle window, Message message, WParam wParam, LParam lParam,
                        std::uint32_t timeoutMs, LResult& result) {
    if (window == 0) {
        errno = EBADF;
        return false;
    }
    if (HandlePid(window) == OwnPid()) {
        if (FindLocal(window) == nullptr) {
            errno = EBADF;
            return false;
        }
        result = CallProc(window, message, wParam, lParam);
        return true;
    }
    const int limit = static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7FFFFFFF));
    return SendToOtherProcess(window, message, wParam, lParam, limit, result);
}

bool PostMessage(WindowHandle window, Message message, WParam wParam, LParam lParam) {
    if (window == 0 || HandlePid(window) == OwnPid()) {
        if (window != 0 && FindLocal(window) == nullptr) {
            errno = EBADF;
            return false;
        }
        Global().posted.push_back({window, message, wParam, lParam});
        return true;
    }
    UniqueFd fd = Connect(window);
    const WireMessage record{kWirePost,
                             HandleSerial(window),
                             message,
                             0,
                             static_cast<std::uint64_t>(wParam),
                             static_cast<std::int64_t>(lParam)};
    return fd && SendAll(fd.Get(), &record, sizeof record);
}

void PostQuitMessage(int exitCode) {
    Global().quitPending = true;
    Global().quitCode = exitCode;
}

LResult DefWindowProc(WindowHandle, Message, WParam, LParam) {
    return 0;
}

int RunMessageLoop(int /*acceleratorId*/) {
    State& state = Global();
    for (;;) {
        ServeSockets(std::chrono::nanoseconds(0), -1); // sent messages first
        if (!state.posted.empty()) {
            const PostedMessage posted = state.posted.front();
            state.posted.pop_front();
            if (posted.window != 0) {
                CallProc(posted.window, posted.message, posted.wParam, posted.lParam);
            }
            continue;
        }
        if (state.quitPending) {
            state.quitPending = false;
            return state.quitCode;
        }
        if (FireDueTimer()) {
            continue;
        }
        ServeSockets(TimeUntilNextTimer(), -1);
    }
}

// ---- timers ----

bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs) {
    if (FindLocal(window) == nullptr) {
        errno = window == 0 || HandlePid(window) == OwnPid() ? EBADF : EACCES;
        return false;
    }
    const std::uint32_t period = std::clamp(elapseMs, kMinTimerMs, kMaxTimerMs);
    Global().timers[{window, id}] = Timer{period, Clock::now() + std::chrono::milliseconds(period)};
    return true;
}

bool KillTimer(WindowHandle window, std::uintptr_t id) {
    if (Global().timers.erase({window, id}) == 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// ---- enumeration ----

std::vector<TopLevelWindow> EnumTopLevelWindows() {
    std::vector<TopLevelWindow> result;
    for (const DirectoryEntry& entry : ScanWindows()) {
        result.push_back({MakeHandle(entry.pid, entry.serial), entry.pid});
    }
    return result;
}

WindowHandle FindTopLevelWindow(const std::u16string& className, std::uint32_t processId) {
    const std::u16string key = ClassKey(className);
    for (const DirectoryEntry& entry : ScanWindows()) {
        if (ClassKey(entry.className) == key && (processId == 0 || entry.pid == processId)) {
            return MakeHandle(entry.pid, entry.serial);
        }
    }
    errno = ENOENT;
    return 0;
}

std::uint32_t WindowProcessId(WindowHandle window) {
    if (window == 0) {
        errno = EBADF;
        return 0;
    }
    if (HandlePid(window) == OwnPid()) {
        return FindLocal(window) != nullptr ? OwnPid() : (errno = EBADF, 0u);
    }
    DirectoryEntry entry;
    return FindEntry(window, entry) ? entry.pid : 0;
}

// ---- child windows (the console) ----

namespace detail {

WindowHandle CreateChildWindow(WindowHandle parent, std::shared_ptr<void> data) {
    LocalWindow* owner = FindLocal(parent);
    if (owner == nullptr || owner->parent != 0) {
        errno = EBADF;
        return 0;
    }
    State& state = Global();
    const std::uint32_t serial = state.nextSerial++;
    LocalWindow& child = state.windows[serial];
    child.parent = parent;
    child.childData = std::move(data);
    return MakeHandle(OwnPid(), serial);
}

void* ChildWindowData(WindowHandle child) {
    LocalWindow* window = FindLocal(child);
    if (window == nullptr || window->parent == 0) {
        errno = EBADF;
        return nullptr;
    }
    return window->childData.get();
}

} // namespace detail
} // namespace plat
