#include "peer/Channel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "protocol/Messages.h"
#include "platform/mapping.h"

namespace peer {

namespace {

// The channel's whole view, kept mapped for the life of its handle.
class scoped_view {
public:
    explicit scoped_view(plat::MappingHandle handle) : view_(plat::HandleView(handle)) {}
    const plat::MappedView& get() const { return view_; }

private:
    plat::MappedView view_;
};

} // namespace

channel::channel(plat::MappingHandle handle, std::u16string name)
    : handle_(handle), name_(std::move(name)) {}

channel::~channel() {
    close();
}

channel::channel(channel&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), name_(std::move(other.name_)) {}

channel& channel::operator=(channel&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        name_ = std::move(other.name_);
    }
    return *this;
}

void channel::close() {
    if (handle_ != nullptr) {
        plat::CloseMapping(handle_);
        handle_ = nullptr;
    }
}

channel channel::create(const std::u16string& name) {
    return channel(plat::CreateMapping(name, kChannelSize), name);
}

channel channel::open(const std::u16string& name) {
    return channel(plat::OpenMapping(name), name);
}

bool channel::write(const std::vector<std::uint8_t>& bytes) {
    if (handle_ == nullptr) {
        return false;
    }
    scoped_view view(handle_);
    if (view.get().data == nullptr || bytes.size() > view.get().size) {
        return false;
    }
    std::memset(view.get().data, 0, view.get().size);
    if (!bytes.empty()) {
        std::memcpy(view.get().data, bytes.data(), bytes.size());
    }
    return true;
}

std::vector<std::uint8_t> channel::read(std::size_t length) const {
    if (handle_ == nullptr) {
        return {};
    }
    scoped_view view(handle_);
    if (view.get().data == nullptr) {
        return {};
    }
    std::size_t count = std::min(length, view.get().size);
    return std::vector<std::uint8_t>(view.get().data, view.get().data + count);
}

} // namespace peer
