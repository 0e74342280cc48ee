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

// Creates a read/write mapping of `size` bytes, or returns the existing one of that name
// (as CreateFileMappingW does, last error kMappingAlreadyExists). Null on failure, last error
// set.
MappingHandle CreateMapping(const std::u16string& name, std::uint32_t size);
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
// Maps the whole mapping read/write from offset 0; every view must be unmapped.
MappedView MapView(MappingHandle mapping);
bool UnmapView(const MappedView& view);
// The handle's own whole view: mapped on first use, kept for the life of the handle and unmapped
// by CloseMapping, so that a channel written thousands of times costs one mapping, not one per
// write. Null data when it cannot be mapped; never unmapped by the caller.
MappedView HandleView(MappingHandle mapping);

} // namespace plat
