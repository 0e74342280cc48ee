// The channels: named shared-memory regions of exactly 1,024,000 bytes. Every read and write
// maps and unmaps a full view; a write zero-fills the whole channel before copying.
#pragma once

#include <cstdint>
#include <string>

#include "platform/mapping.h"
#include "platform/types.h"

// Null name: the default request channel name, with its fallback. Null on failure.
plat::MappingHandle CreateSharedMemory(const char16_t* name, plat::Space space = plat::Space::Now);
// As CreateSharedMemory, but only an existing mapping that can be mapped whole is returned.
plat::MappingHandle OpenSharedMemory(const char16_t* name);
// Bytes written; the channel size when `data` is null (a capacity query); -1 on failure.
std::int32_t WriteSharedMemory(plat::MappingHandle handle, const void* data, std::int32_t length);
// Bytes copied to `buffer`; -1 on failure. The channel is left as it was.
std::int32_t ReadSharedMemory(plat::MappingHandle handle, void* buffer, std::int32_t length);
void CloseSharedMemory(plat::MappingHandle handle);

// Creates the agent's own return channel. When `name` already exists (another agent of the user,
// or anything else, holds it), the channel is made under the name followed by "." and this
// process's id instead, and `name` becomes that name. Null on failure.
plat::MappingHandle CreateReturnChannel(std::u16string& name, plat::Space space = plat::Space::Now);
// The default-named request channel, when one exists and belongs to this process's user;
// otherwise null (the peer's own named channel is used then).
plat::MappingHandle OpenDefaultRequestChannel();
