// Memory for a secret that has to stay in the process for a while: a page of its own, locked
// against swapping and left out of core dumps where the system allows it.
#pragma once

#include <cstddef>

namespace plat {

class LockedPage {
public:
    LockedPage() = default;
    ~LockedPage() { Release(); }
    LockedPage(const LockedPage&) = delete;
    LockedPage& operator=(const LockedPage&) = delete;

    // Takes a fresh zeroed page (a held one is released first). False, with nothing held, when
    // the page cannot be had or locked: the secret then must not be kept at all.
    bool Allocate();
    // Zeroes the page, unlocks and returns it; nothing is held afterwards.
    void Release();

    unsigned char* Data() const { return static_cast<unsigned char*>(page_); }
    std::size_t Size() const { return size_; }

private:
    void* page_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace plat
