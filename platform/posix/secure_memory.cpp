// Locked pages: mmap'd on their own, mlock'd, and marked MADV_DONTDUMP for core dumps.
#include "platform/secure_memory.h"

#include <cstring>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace plat {

void WipeBytes(void* data, std::size_t size) {
    if (data != nullptr && size > 0) {
        explicit_bzero(data, size);
    }
}

void KeepMemoryPrivate() {
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

void* LockedPage::MapLockedPage(std::size_t& size) {
    const long pageSize = sysconf(_SC_PAGESIZE);
    size = pageSize > 0 ? static_cast<std::size_t>(pageSize) : 4096u;
    void* page = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        return nullptr;
    }
    if (mlock(page, size) != 0 || madvise(page, size, MADV_DONTDUMP) != 0) {
        UnmapLockedPage(page, size);
        return nullptr;
    }
    return page;
}

void LockedPage::UnmapLockedPage(void* page, std::size_t size) {
    munlock(page, size);
    munmap(page, size);
}

} // namespace plat
