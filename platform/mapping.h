// Named shared-memory mappings (Windows file mappings backed by the paging file; on Linux files
// in the user's private runtime directory on tmpfs, which nobody else can read or create names in).
#pragma once

#include <cstddef>
#include <string>

#include "platform/types.h"

namespace plat {

// The last error CreateMapping leaves when it handed back an existing mapping.
#if defined(_WIN32)
inline constexpr std::uint32_t kMappingAlreadyExists = 183; // ERROR_ALREADY_EXISTS
#else
inline constexpr std::uint32_t kMappingAlreadyExists = 17; // EEXIST
#endif

// When a new mapping's memory is taken from the system. Windows always takes it at creation.
enum class Space {
    Now,   // at creation: a system short of memory fails the creation
    Later, // by ReserveSpace, so that a creator in a hurry can do something else first
};

// Creates a read/write mapping of `size` bytes, or returns the existing one of that name
// (as CreateFileMappingW does, last error kMappingAlreadyExists). Null on failure, last error
// set.
MappingHandle CreateMapping(const std::u16string& name, std::uint32_t size,
                            Space space = Space::Now);
// Takes the memory of a mapping created with Space::Later before anything is written into it
// (on Linux a write into memory the file system cannot give is SIGBUS). False with the last
// error set when the system cannot give it.
bool ReserveSpace(MappingHandle mapping);
// Opens an existing mapping with full access. Null when missing or refused, last error set.
MappingHandle OpenMapping(const std::u16string& name);
bool CloseMapping(MappingHandle mapping);
// True when the mapping's owner is the user running this process; false when it is another
// user's or its owner cannot be read.
bool IsOwnMapping(MappingHandle mapping);

struct MappedView {
    unsigned char* data = nullptr; // null when mapping failed
    std::size_t size = 0;          // the whole mapping
};
// Unmaps a view; false when there is none or the system refuses. OwnedView calls it.
bool UnmapView(const MappedView& view);

// A view its holder mapped: unmapped when the holder lets it go. Movable, not copyable, so that
// exactly one holder unmaps it.
class OwnedView {
public:
    OwnedView() noexcept = default;
    explicit OwnedView(MappedView view) noexcept : view_(view) {}
    ~OwnedView() { Reset(); }
    OwnedView(OwnedView&& other) noexcept : view_(other.Release()) {}
    OwnedView& operator=(OwnedView&& other) noexcept {
        if (this != &other) {
            Reset();
            view_ = other.Release();
        }
        return *this;
    }
    OwnedView(const OwnedView&) = delete;
    OwnedView& operator=(const OwnedView&) = delete;

    explicit operator bool() const noexcept { return view_.data != nullptr; }
    unsigned char* Data() const noexcept { return view_.data; }
    std::size_t Size() const noexcept { return view_.size; }
    const MappedView& Get() const noexcept { return view_; }

    // Unmaps now; true when there was a view and it is gone.
    bool Reset() noexcept {
        const bool unmapped = view_.data != nullptr && UnmapView(view_);
        view_ = {};
        return unmapped;
    }
    // Gives the view up without unmapping it.
    MappedView Release() noexcept {
        const MappedView view = view_;
        view_ = {};
        return view;
    }

private:
    MappedView view_;
};

// Maps the whole mapping read/write from offset 0. Empty on failure, last error set.
OwnedView MapView(MappingHandle mapping);
// The handle's own whole view: mapped on first use, kept for the life of the handle and unmapped
// by CloseMapping, so that a channel written thousands of times costs one mapping, not one per
// write. Null data when it cannot be mapped; never unmapped by the caller.
MappedView HandleView(MappingHandle mapping);

// Reads one byte of every page of a view. The first access to each page of a new view is slow
// (a few microseconds a page on virtual machines); a process that will zero-fill a whole view
// where time counts pays this beforehand, while it waits anyway.
inline void TouchPages(const MappedView& view) {
    constexpr std::size_t kPage = 4096;
    unsigned char sink = 0;
    for (std::size_t offset = 0; offset < view.size; offset += kPage) {
        sink |= static_cast<const volatile unsigned char*>(view.data)[offset];
    }
    static_cast<void>(sink);
}

// Maps an existing mapping by name and touches its pages ahead of its use: the next handle this
// process opens to the same mapping takes that view over as its own (HandleView). For a process
// that will open the mapping later, at a moment where time counts. False when the mapping cannot
// be mapped now, or where the system keeps no such view (Windows, where views are per handle).
bool PrepareView(const std::u16string& name);

} // namespace plat
