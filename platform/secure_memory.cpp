// A locked page's life, on each system's own way of mapping and locking it.
#include "platform/secure_memory.h"

namespace plat {

bool LockedPage::Allocate() {
    Release();
    std::size_t size = 0;
    void* page = MapLockedPage(size);
    if (page == nullptr) {
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
    WipeBytes(page_, size_);
    UnmapLockedPage(page_, size_);
    page_ = nullptr;
    size_ = 0;
}

} // namespace plat
