// Locked pages: VirtualAlloc'd on their own and VirtualLock'ed (Windows writes no core dumps of
// its own; locked pages stay out of the paging file).
#include "platform/secure_memory.h"

#include "platform/win32/win.h"

namespace plat {

void WipeBytes(void* data, std::size_t size) {
    if (data != nullptr && size > 0) {
        SecureZeroMemory(data, size);
    }
}

void KeepMemoryPrivate() {}

void* LockedPage::MapLockedPage(std::size_t& size) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    size = info.dwPageSize != 0 ? info.dwPageSize : 4096u;
    void* page = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (page == nullptr) {
        return nullptr;
    }
    if (!VirtualLock(page, size)) {
        VirtualFree(page, 0, MEM_RELEASE);
        return nullptr;
    }
    return page;
}

void LockedPage::UnmapLockedPage(void* page, std::size_t size) {
    VirtualUnlock(page, size);
    VirtualFree(page, 0, MEM_RELEASE);
}

} // namespace plat
