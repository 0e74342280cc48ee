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

bool LockedPage::Allocate() {
    Release();
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::size_t size = info.dwPageSize != 0 ? info.dwPageSize : 4096u;
    void* page = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (page == nullptr) {
        return false;
    }
    if (!VirtualLock(page, size)) {
        VirtualFree(page, 0, MEM_RELEASE);
        return false;
    }
    page_ = page;
    size_ = size;
    return true;
}

void LockedPage::Release() {
    if (page_ == nullptr) {
        return;
    }
    SecureZeroMemory(page_, size_);
    VirtualUnlock(page_, size_);
    VirtualFree(page_, 0, MEM_RELEASE);
    page_ = nullptr;
    size_ = 0;
}

} // namespace plat
