// The channels: named shared-memory regions of exactly 1,024,000 bytes. Every read and write
// maps and unmaps a full view; a write zero-fills the whole channel before copying.
#pragma once

#include <cstdint>

#include "platform/types.h"

// Null name: the default request channel name, with its fallback. Null on failure.
plat::MappingHandle CreateSharedMemory(const char16_t* name);
// As CreateSharedMemory, but only an existing mapping that can be mapped whole is returned.
plat::MappingHandle OpenSharedMemory(const char16_t* name);
// Bytes written; the channel size when `data` is null (a capacity query); -1 on failure.
std::int32_t WriteSharedMemory(plat::MappingHandle handle, const void* data, std::int32_t length);
// Bytes copied to `buffer`; -1 on failure. The channel is left as it was.
std::int32_t ReadSharedMemory(plat::MappingHandle handle, void* buffer, std::int32_t length);
void CloseSharedMemory(plat::MappingHandle handle);
