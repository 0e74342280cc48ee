// Memory for a secret that has to stay in the process for a while: a page of its own, locked
// against swapping and left out of core dumps where the system allows it.
#pragma once

#include <cstddef>
#include <string>

namespace plat {

// Zeroes memory in a way the compiler may not leave out.
void WipeBytes(void* data, std::size_t size);

// Zeroes a string's whole buffer (its capacity, not only its length: a moved-from or shortened
// string keeps old bytes there) and empties it.
template <typename Char> void WipeString(std::basic_string<Char>& text) {
    text.resize(text.capacity());
    WipeBytes(&text[0], text.size() * sizeof(Char));
    text.clear();
}

// For the rest of the process's life, other processes of the same user may not read its memory
// (Linux: /proc/PID/mem and ptrace) and it writes no core dump: a process that handles a PIN
// calls it first thing. Nothing to do on Windows, where no core dump is written unasked.
void KeepMemoryPrivate();

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
    // The system's part: a fresh page of its own, locked (and kept out of dumps), with its size;
    // null with nothing held when that fails. And the page given back, unlocked.
    static void* MapLockedPage(std::size_t& size);
    static void UnmapLockedPage(void* page, std::size_t size);

    void* page_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace plat
