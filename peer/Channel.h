// One named shared-memory channel seen from the peer: created (request and log channels) or
// opened (the agent's return channel), read and written at offset 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mapping.h"
#include "platform/types.h"

namespace peer {

class Channel {
public:
    Channel() = default;
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    Channel(Channel&& other) noexcept;
    Channel& operator=(Channel&& other) noexcept;

    // With Space::Later the memory is taken by Reserve, which must come before any write (the
    // peer starts its agent first).
    static Channel Create(const std::u16string& name, plat::Space space = plat::Space::Now);
    static Channel Open(const std::u16string& name);

    bool IsOpen() const { return handle_ != nullptr; }
    const std::u16string& Name() const { return name_; }
    plat::MappingHandle Handle() const { return handle_; }

    // False with the system's last error when the memory cannot be had.
    bool Reserve() const;
    // Maps the channel's view now rather than at its first use; it stays for the handle's life.
    void MapNow() const;
    // Maps it and touches its pages, so that its first whole write is as quick as any other.
    void Ready() const;
    // Zero-fills the channel, then copies `bytes` to offset 0 (as the agent writes).
    bool Write(const std::vector<std::uint8_t>& bytes);
    // The first `length` bytes (fewer when the channel is smaller); empty when not open.
    std::vector<std::uint8_t> Read(std::size_t length) const;

private:
    Channel(plat::MappingHandle handle, std::u16string name);
    void Close();

    plat::MappingHandle handle_ = nullptr;
    std::u16string name_;
};

} // namespace peer
