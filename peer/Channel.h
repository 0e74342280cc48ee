// One named shared-memory channel seen from the peer: created (request and log channels) or
// opened (the agent's return channel), read and written at offset 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace peer {

class channel {
public:
    channel() = default;
    ~channel();
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;
    channel(channel&& other) noexcept;
    channel& operator=(channel&& other) noexcept;

    static channel create(const std::u16string& name);
    static channel open(const std::u16string& name);

    bool is_open() const { return handle_ != nullptr; }
    const std::u16string& name() const { return name_; }
    plat::MappingHandle handle() const { return handle_; }

    // Zero-fills the channel, then copies `bytes` to offset 0 (as the agent writes).
    bool write(const std::vector<std::uint8_t>& bytes);
    // The first `length` bytes (fewer when the channel is smaller); empty when not open.
    std::vector<std::uint8_t> read(std::size_t length) const;

private:
    channel(plat::MappingHandle handle, std::u16string name);
    void close();

    plat::MappingHandle handle_ = nullptr;
    std::u16string name_;
};

} // namespace peer
