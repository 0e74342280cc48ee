// The user's private runtime directory on Linux: the named mappings and the window sockets live
// there. Only its user can create names in it (so nobody can take a channel's or window's name
// first), and it is on tmpfs, so that the channels (the login request carries the PIN) never
// reach a disk. Where it is, first that applies:
//  - TESSIVO_RUNTIME_DIR: an existing private directory; it gives a test run, and the agents it
//    starts, a namespace of their own. Refused (no fallback) when it is not private.
//  - $XDG_RUNTIME_DIR/tessivo, when XDG_RUNTIME_DIR is a tmpfs directory of ours that nobody
//    else may write (after `su` it still names the other user's, which is skipped).
//  - a 0700 directory with an unpredictable name made by mkdtemp on /dev/shm, its path kept in
//    ~/.cache/tessivo/runtime. Made under a lock so that processes starting together agree; a
//    recorded directory that is gone or no longer private is replaced by a new one.
// Never a fixed name in a shared directory such as /dev/shm or /tmp: without a usable home the
// call fails rather than fall back to one.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "platform/posix/posix_util.h"

namespace plat::detail {
namespace {

bool OnTmpfs(const std::string& path) {
    struct statfs fs {};
    if (statfs(path.c_str(), &fs) != 0) {
        return false;
    }
    return fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC;
}

// A real directory (not a link) of ours, mode 0700, in memory. errno says why not.
bool IsPrivateDirectory(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        errno = ENOENT;
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 0777) != 0700 ||
        !OnTmpfs(path)) {
        errno = EACCES;
        return false;
    }
    return true;
}

// A directory of ours that nobody else may write (links followed: the user may link ~/.cache).
bool IsOwnDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && path[0] == '/' && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

bool MakeOwnDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    if (!IsOwnDirectory(path)) {
        errno = EACCES;
        return false;
    }
    return true;
}

bool FromXdgRuntimeDir(std::string& dir, bool& refused) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || !IsOwnDirectory(runtime) || !OnTmpfs(runtime)) {
        return false;
    }
    dir = std::string(runtime) + "/tessivo";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        refused = true;
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        refused = true;
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        errno = EACCES;
        refused = true;
        return false;
    }
    if ((st.st_mode & 0777) != 0700 && chmod(dir.c_str(), 0700) != 0) {
        refused = true;
        return false;
    }
    return true;
}

// The user's home: $HOME when it is ours, else the password database's.
bool HomeDirectory(std::string& home) {
    const char* env = std::getenv("HOME");
    if (env != nullptr && IsOwnDirectory(env)) {
        home = env;
        return true;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && IsOwnDirectory(found->pw_dir)) {
        home = found->pw_dir;
        return true;
    }
    errno = EACCES; // no home of ours to keep the directory's name in
    return false;
}

// The directory named by the record, when it is still private.
bool ReadRecord(const std::string& record, std::string& dir) {
    // O_NONBLOCK: a FIFO in the record's place must not hold the open; it is refused below and
    // replaced.
    UniqueFd fd(open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        return false;
    }
    char text[PATH_MAX];
    const ssize_t length = read(fd.Get(), text, sizeof text);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof text) {
        return false;
    }
    dir.assign(text, static_cast<std::size_t>(length));
    while (!dir.empty() && dir.back() == '\n') {
        dir.pop_back();
    }
    return dir.find('\n') == std::string::npos && IsPrivateDirectory(dir);
}

// Replaces the record in one step: readers see the old or the new path, never a part.
bool WriteRecord(const std::string& record, const std::string& dir) {
    const std::string temporary = record + "." + std::to_string(getpid()) + ".tmp";
    unlink(temporary.c_str());
    UniqueFd fd(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return false;
    }
    const std::string text = dir + "\n";
    const bool written =
        write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        fsync(fd.Get()) == 0;
    fd.Reset();
    // An empty directory in the record's place is taken away; rename replaces anything else
    // (a FIFO, a symbolic link, a device node) without opening it.
    bool renamed = written && rename(temporary.c_str(), record.c_str()) == 0;
    if (written && !renamed && (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) &&
        rmdir(record.c_str()) == 0) {
        renamed = rename(temporary.c_str(), record.c_str()) == 0;
    }
    if (!renamed) {
        const int error = errno;
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}

bool FromHomeRecord(std::string& dir) {
    std::string home;
    if (!HomeDirectory(home)) {
        return false;
    }
    const std::string cache = home + "/.cache";
    const std::string folder = cache + "/tessivo";
    const std::string record = folder + "/runtime";
    if (ReadRecord(record, dir)) {
        return true;
    }
    if (!MakeOwnDirectory(cache) || !MakeOwnDirectory(folder)) {
        return false;
    }
    // One process makes the directory; the others wait and read what it recorded.
    UniqueFd lock(
        open((folder + "/runtime.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock || flock(lock.Get(), LOCK_EX) != 0) {
        return false;
    }
    if (ReadRecord(record, dir)) {
        return true;
    }
    char pattern[] = "/dev/shm/tessivo-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return false;
    }
    dir = pattern;
    if (!IsPrivateDirectory(dir) || !WriteRecord(record, dir)) {
        const int error = errno;
        rmdir(pattern);
        errno = error;
        return false;
    }
    return true;
}

} // namespace

bool RuntimeDirectory(std::string& dir) {
    const int savedErrno = errno;
    const char* forced = std::getenv("TESSIVO_RUNTIME_DIR");
    if (forced != nullptr && *forced != '\0') {
        dir = forced;
        if (!IsPrivateDirectory(dir)) {
            return false;
        }
        errno = savedErrno;
        return true;
    }
    bool refused = false;
    if (FromXdgRuntimeDir(dir, refused) || (!refused && FromHomeRecord(dir))) {
        errno = savedErrno;
        return true;
    }
    return false;
}

} // namespace plat::detail
