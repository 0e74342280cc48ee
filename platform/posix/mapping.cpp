// Named mappings on Linux: files <escaped name>.map in the user's private runtime directory on
// tmpfs (runtime_dir.cpp), so nobody else can take or reach a name and the contents stay in
// memory. The suffix keeps them apart from window sockets, whose names end in a number. As on
// Windows, a name lives as long as some handle to it is open: every handle holds
// a shared flock on its descriptor, the last one closed removes the name, and a name left
// behind by a process that died (nobody holds it) counts as missing.
#include "platform/text.h"
#include "platform/mapping.h"

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_util.h"

namespace plat {
namespace {

struct Mapping {
    detail::UniqueFd fd;
    std::string path;
    OwnedView view; // the handle's own view, once mapped; unmapped with the handle
};

// The mapping's file, or empty when the name is not usable here or there is no private directory.
std::string MappingPath(const std::u16string& name) {
    if (name.empty()) {
        errno = EINVAL;
        return {};
    }
    const std::string file = detail::EscapeName(Utf16ToUtf8(name)) + ".map";
    if (file.size() > NAME_MAX) {
        errno = ENAMETOOLONG;
        return {};
    }
    std::string dir;
    if (!detail::RuntimeDirectory(dir)) {
        return {};
    }
    return dir + "/" + file;
}

// Another user's file, or one that others may write, is not ours to use.
bool IsPrivate(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        errno = EACCES;
        return false;
    }
    return true;
}

// True when no handle in any process holds the file: its last holder died without closing.
// A file still being sized by its creator (size 0) is not stale.
bool IsStale(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size == 0) {
        return false;
    }
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// True while `path` still names the file open on `fd`. Another process may have removed a stale
// file and made the name afresh since `fd` was opened: the name is then no longer this
// handle's to remove.
bool NamesFile(const std::string& path, int fd) {
    struct stat named {
    }, held{};
    return stat(path.c_str(), &named) == 0 && fstat(fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// Opens an existing file; a stale one is removed and reported as missing.
detail::UniqueFd OpenExisting(const std::string& path) {
    detail::UniqueFd fd(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (fd && !IsPrivate(fd.Get())) {
        fd.Reset();
    } else if (fd && IsStale(fd.Get())) {
        if (NamesFile(path, fd.Get())) {
            unlink(path.c_str());
        }
        fd.Reset();
        errno = ENOENT;
    }
    return fd;
}

// Handles are small numbers, multiples of 4 as on Windows, so that they read like handles in
// the agent's log lines, and a value that names no open mapping is refused, not dereferenced.
std::vector<std::unique_ptr<Mapping>>& HandleTable() {
    static std::vector<std::unique_ptr<Mapping>> table;
    return table;
}

Mapping* Lookup(MappingHandle handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    auto& table = HandleTable();
    if (value == 0 || value % 4 != 0 || value / 4 > table.size() || !table[value / 4 - 1]) {
        errno = EBADF;
        return nullptr;
    }
    return table[value / 4 - 1].get();
}

// The handle's mapping with its file's status; null with errno set when the handle names no open
// mapping or the file cannot be read.
Mapping* LookupWithStatus(MappingHandle handle, struct stat& st) {
    Mapping* mapping = handle == nullptr ? nullptr : Lookup(handle);
    if (mapping == nullptr) {
        errno = EBADF;
        return nullptr;
    }
    return fstat(mapping->fd.Get(), &st) == 0 ? mapping : nullptr;
}

// Views made by PrepareView, each waiting for the first handle to its file.
struct PreparedView {
    dev_t device = 0;
    ino_t inode = 0;
    OwnedView view;
};

std::vector<PreparedView>& PreparedViews() {
    static std::vector<PreparedView> views;
    return views;
}

// The prepared view of the file `st` describes, taken out of the list; empty when there is none.
// A prepared view holds its file, so the file's number names no other file meanwhile.
OwnedView TakePreparedView(const struct stat& st) {
    auto& views = PreparedViews();
    for (auto it = views.begin(); it != views.end(); ++it) {
        if (it->device == st.st_dev && it->inode == st.st_ino &&
            it->view.Size() == static_cast<std::size_t>(st.st_size)) {
            OwnedView view = std::move(it->view);
            views.erase(it);
            return view;
        }
    }
    return {};
}

OwnedView MapFile(int fd, const struct stat& st) {
    if (st.st_size <= 0) {
        errno = EINVAL; // still being sized by its creator
        return {};
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    // Every write zero-fills the whole view: its pages are mapped here in one go rather than by
    // a fault each at the first write (their first access still costs something: TouchPages).
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (data == MAP_FAILED) {
        return {};
    }
    return OwnedView(MappedView{static_cast<unsigned char*>(data), size});
}

MappingHandle NewHandle(detail::UniqueFd fd, const std::string& path) {
    if (flock(fd.Get(), LOCK_SH) != 0) {
        return nullptr;
    }
    auto mapping = std::make_unique<Mapping>();
    mapping->fd = std::move(fd);
    mapping->path = path;
    auto& table = HandleTable();
    auto slot = std::find(table.begin(), table.end(), nullptr);
    if (slot == table.end()) {
        slot = table.insert(table.end(), nullptr);
    }
    *slot = std::move(mapping);
    return reinterpret_cast<MappingHandle>((slot - table.begin() + 1) * 4);
}

} // namespace

MappingHandle CreateMapping(const std::u16string& name, std::uint32_t size, Space space) {
    const std::string path = MappingPath(name);
    if (path.empty()) {
        return nullptr;
    }
    if (size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    // Two rounds: a stale file found in the first is removed and the name created afresh.
    for (int round = 0; round < 2; ++round) {
        detail::UniqueFd fd(
            open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd) {
            // Held before it is sized, so that nobody takes the new file for a stale one.
            // The space is taken now or by ReserveSpace: a sparse file on a full tmpfs would be
            // found full only by a write into the mapped view, as SIGBUS.
            int allocated = 0;
            if (flock(fd.Get(), LOCK_SH) != 0 ||
                (allocated =
                     space == Space::Now
                         ? posix_fallocate(fd.Get(), 0, static_cast<off_t>(size))
                         : (ftruncate(fd.Get(), static_cast<off_t>(size)) == 0 ? 0 : errno)) != 0) {
                const int error = allocated != 0 ? allocated : errno;
                unlink(path.c_str());
                errno = error;
                return nullptr;
            }
            errno = 0;
            return NewHandle(std::move(fd), path);
        }
        if (errno != EEXIST) {
            return nullptr;
        }
        // As on Windows, creating an existing name hands back that mapping.
        fd = OpenExisting(path);
        if (fd) {
            MappingHandle existing = NewHandle(std::move(fd), path);
            errno = EEXIST; // ERROR_ALREADY_EXISTS
            return existing;
        }
        if (errno != ENOENT) {
            return nullptr;
        }
    }
    return nullptr;
}

bool ReserveSpace(MappingHandle handle) {
    struct stat st {};
    Mapping* mapping = LookupWithStatus(handle, st);
    if (mapping == nullptr) {
        return false;
    }
    const int error = posix_fallocate(mapping->fd.Get(), 0, st.st_size);
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

MappingHandle OpenMapping(const std::u16string& name) {
    const std::string path = MappingPath(name);
    if (path.empty()) {
        return nullptr;
    }
    detail::UniqueFd fd = OpenExisting(path);
    if (!fd) {
        return nullptr;
    }
    return NewHandle(std::move(fd), path);
}

bool CloseMapping(MappingHandle handle) {
    if (handle == nullptr) {
        errno = EBADF;
        return false;
    }
    Mapping* mapping = Lookup(handle);
    if (mapping == nullptr) {
        return false;
    }
    // The last handle anywhere takes the name with it (views stay valid until unmapped). A
    // mapping still being made (size 0: its creator has not taken its own lock yet) is not the
    // last handle's to remove: a second agent that finds the name taken and lets it go at once
    // would otherwise take the first one's return channel away.
    struct stat st {};
    if (flock(mapping->fd.Get(), LOCK_EX | LOCK_NB) == 0 && fstat(mapping->fd.Get(), &st) == 0 &&
        st.st_size > 0 && NamesFile(mapping->path, mapping->fd.Get())) {
        unlink(mapping->path.c_str());
    }
    HandleTable()[reinterpret_cast<std::uintptr_t>(handle) / 4 - 1].reset();
    return true;
}

bool IsOwnMapping(MappingHandle handle) {
    struct stat st {};
    if (LookupWithStatus(handle, st) == nullptr) {
        return false;
    }
    if (st.st_uid != geteuid()) {
        errno = EACCES;
        return false;
    }
    return true;
}

OwnedView MapView(MappingHandle handle) {
    struct stat st {};
    Mapping* mapping = LookupWithStatus(handle, st);
    if (mapping == nullptr) {
        return {};
    }
    return MapFile(mapping->fd.Get(), st);
}

MappedView HandleView(MappingHandle handle) {
    struct stat st {};
    Mapping* mapping = handle == nullptr ? nullptr : Lookup(handle);
    if (mapping == nullptr) {
        errno = EBADF;
        return {};
    }
    if (!mapping->view && fstat(mapping->fd.Get(), &st) == 0) {
        mapping->view = TakePreparedView(st);
        if (!mapping->view) {
            mapping->view = MapFile(mapping->fd.Get(), st);
        }
    }
    return mapping->view.Get();
}

bool PrepareView(const std::u16string& name) {
    const std::string path = MappingPath(name);
    detail::UniqueFd fd = path.empty() ? detail::UniqueFd() : OpenExisting(path);
    struct stat st {};
    if (!fd || fstat(fd.Get(), &st) != 0) {
        return false;
    }
    OwnedView view = MapFile(fd.Get(), st);
    if (!view) {
        return false;
    }
    TouchPages(view.Get());
    // Held by no handle, the view keeps the file's memory but not its name: the name still goes
    // with the last handle, as a view on Windows leaves the name to the handles.
    PreparedViews().push_back(PreparedView{st.st_dev, st.st_ino, std::move(view)});
    return true;
}

bool UnmapView(const MappedView& view) {
    if (view.data == nullptr || view.size == 0) {
        errno = EINVAL;
        return false;
    }
    return munmap(view.data, view.size) == 0;
}

} // namespace plat
