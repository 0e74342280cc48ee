// Named mappings on Linux: POSIX shared memory under /tessivo.<uid>.<escaped name>, private to
// the user. The handle that created a name removes the name when it is closed, so a mapping
// does not outlive its creator's use of it (views and other open handles stay valid).
#include "platform/mapping.h"

#include <cerrno>
#include <climits>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_util.h"

namespace plat {
namespace {

struct Mapping {
    detail::UniqueFd fd;
    std::string objectName;
    bool created = false;
};

// The shared-memory object's name, or empty when the name is not usable here.
std::string ObjectName(const std::u16string& name) {
    if (name.empty()) {
        errno = EINVAL;
        return {};
    }
    const std::string object =
        "/tessivo." + std::to_string(geteuid()) + "." + detail::EscapeName(detail::ToUtf8(name));
    if (object.size() - 1 > NAME_MAX) {
        errno = ENAMETOOLONG;
        return {};
    }
    return object;
}

// Another user's object, or one that others may write, is not ours to use.
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

detail::UniqueFd OpenExisting(const std::string& object) {
    detail::UniqueFd fd(shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (fd && !IsPrivate(fd.Get())) {
        fd.Reset();
    }
    return fd;
}

MappingHandle NewHandle(detail::UniqueFd fd, const std::string& object, bool created) {
    auto* mapping = new Mapping;
    mapping->fd = std::move(fd);
    mapping->objectName = object;
    mapping->created = created;
    return mapping;
}

} // namespace

MappingHandle CreateMapping(const std::u16string& name, std::uint32_t size) {
    const std::string object = ObjectName(name);
    if (object.empty()) {
        return nullptr;
    }
    if (size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    detail::UniqueFd fd(shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd) {
        if (ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) {
            const int error = errno;
            shm_unlink(object.c_str());
            errno = error;
            return nullptr;
        }
        errno = 0;
        return NewHandle(std::move(fd), object, true);
    }
    if (errno != EEXIST) {
        return nullptr;
    }
    // As on Windows, creating an existing name hands back that mapping.
    fd = OpenExisting(object);
    if (!fd) {
        return nullptr;
    }
    errno = EEXIST; // ERROR_ALREADY_EXISTS
    return NewHandle(std::move(fd), object, false);
}

MappingHandle OpenMapping(const std::u16string& name) {
    const std::string object = ObjectName(name);
    if (object.empty()) {
        return nullptr;
    }
    detail::UniqueFd fd = OpenExisting(object);
    if (!fd) {
        return nullptr;
    }
    return NewHandle(std::move(fd), object, false);
}

bool CloseMapping(MappingHandle handle) {
    if (handle == nullptr) {
        errno = EBADF;
        return false;
    }
    auto* mapping = static_cast<Mapping*>(handle);
    if (mapping->created) {
        shm_unlink(mapping->objectName.c_str());
    }
    delete mapping;
    return true;
}

MappedView MapView(MappingHandle handle) {
    if (handle == nullptr) {
        errno = EBADF;
        return {};
    }
    auto* mapping = static_cast<Mapping*>(handle);
    struct stat st {};
    if (fstat(mapping->fd.Get(), &st) != 0) {
        return {};
    }
    if (st.st_size <= 0) {
        errno = EINVAL; // still being sized by its creator
        return {};
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, mapping->fd.Get(), 0);
    if (data == MAP_FAILED) {
        return {};
    }
    return MappedView{static_cast<unsigned char*>(data), size};
}

bool UnmapView(const MappedView& view) {
    if (view.data == nullptr || view.size == 0) {
        errno = EINVAL;
        return false;
    }
    return munmap(view.data, view.size) == 0;
}

} // namespace plat
