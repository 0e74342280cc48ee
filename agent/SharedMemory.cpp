#include "agent/SharedMemory.h"

#include <cstring>
#include <string>

#include "protocol/Messages.h"
#include "platform/mapping.h"

namespace {

// The full view of a channel, kept mapped for the life of its handle (a write costs a zero-fill
// and a copy, not a new mapping's page faults). A mapping smaller than a channel (one the peer
// made itself) is refused rather than read or written past its end.
class ChannelView {
public:
    explicit ChannelView(plat::MappingHandle handle) {
        if (handle != nullptr) {
            view_ = plat::HandleView(handle);
        }
    }

    bool Usable() const {
        return view_.data != nullptr && view_.size >= static_cast<std::size_t>(kChannelSize);
    }
    unsigned char* Data() const { return view_.data; }

private:
    plat::MappedView view_;
};

bool ContainsDefaultName(const std::u16string& name) {
    return name.find(kDefaultRequestName) != std::u16string::npos;
}

std::u16string NameOrDefault(const char16_t* name) {
    return name != nullptr ? std::u16string(name) : std::u16string(kDefaultRequestName);
}

} // namespace

plat::MappingHandle CreateSharedMemory(const char16_t* name, plat::Space space) {
    try {
        std::u16string wanted = NameOrDefault(name);
        plat::MappingHandle handle = plat::CreateMapping(wanted, kChannelSize, space);
        if (handle == nullptr && ContainsDefaultName(wanted)) {
            handle = plat::CreateMapping(kDefaultRequestFallback, kChannelSize, space);
        }
        return handle;
    } catch (...) {
        return nullptr;
    }
}

plat::MappingHandle OpenSharedMemory(const char16_t* name) {
    try {
        std::u16string wanted = NameOrDefault(name);
        plat::MappingHandle handle = plat::OpenMapping(wanted);
        if (handle == nullptr && ContainsDefaultName(wanted)) {
            handle = plat::OpenMapping(kDefaultRequestFallback);
        }
        if (handle == nullptr) {
            return nullptr;
        }
        bool usable = ChannelView(handle).Usable();
        if (!usable) {
            plat::CloseMapping(handle);
            return nullptr;
        }
        return handle;
    } catch (...) {
        return nullptr;
    }
}

std::int32_t WriteSharedMemory(plat::MappingHandle handle, const void* data, std::int32_t length) {
    if (data == nullptr) {
        return kChannelSize;
    }
    try {
        ChannelView view(handle);
        if (!view.Usable() || length < 0 || length > kChannelSize) {
            return -1;
        }
        std::memset(view.Data(), 0, static_cast<std::size_t>(kChannelSize));
        std::memcpy(view.Data(), data, static_cast<std::size_t>(length));
        return length;
    } catch (...) {
        return -1;
    }
}

std::int32_t ReadSharedMemory(plat::MappingHandle handle, void* buffer, std::int32_t length) {
    try {
        ChannelView view(handle);
        if (!view.Usable() || length < 0 || length > kChannelSize) {
            return -1;
        }
        if (length > 0) {
            if (buffer == nullptr) {
                return -1;
            }
            std::memcpy(buffer, view.Data(), static_cast<std::size_t>(length));
        }
        return length;
    } catch (...) {
        return -1;
    }
}

void CloseSharedMemory(plat::MappingHandle handle) {
    try {
        if (handle != nullptr) {
            plat::CloseMapping(handle);
        }
    } catch (...) {
    }
}

plat::MappingHandle CreateReturnChannel(std::u16string& name, plat::Space space) {
    try {
        plat::SetLastError(0);
        plat::MappingHandle handle = CreateSharedMemory(name.c_str(), space);
        if (handle == nullptr || plat::LastError() != plat::kMappingAlreadyExists) {
            return handle;
        }
        // A second agent of the user must not write into the first one's channel: the two
        // would overwrite each other's signatures.
        CloseSharedMemory(handle);
        name = PerAgentChannelName(name, plat::CurrentProcessId());
        return CreateSharedMemory(name.c_str(), space);
    } catch (...) {
        return nullptr;
    }
}

plat::MappingHandle OpenDefaultRequestChannel() {
    plat::MappingHandle handle = OpenSharedMemory(nullptr);
    // Another user's mapping under the well-known name would see the PIN of every login.
    if (handle != nullptr && !plat::IsOwnMapping(handle)) {
        CloseSharedMemory(handle);
        return nullptr;
    }
    return handle;
}
