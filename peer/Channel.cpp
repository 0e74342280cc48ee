#include "peer/Channel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "protocol/Messages.h"
#include "platform/mapping.h"

namespace peer {

namespace {

// The channel's whole view, kept mapped for the life of its handle.
class ScopedView {
public:
    explicit ScopedView(plat::MappingHandle handle) : view_(plat::HandleView(handle)) {}
    const plat::MappedView& get() const { return view_; }

private:
    plat::MappedView view_;
};

} // namespace

Channel::Channel(plat::MappingHandle handle, std::u16string name)
    : handle_(handle), name_(std::move(name)) {}

Channel::~Channel() {
    Close();
}

Channel::Channel(Channel&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), name_(std::move(other.name_)) {}

Channel& Channel::operator=(Channel&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, nullptr);
        name_ = std::move(other.name_);
    }
    return *this;
}

void Channel::Close() {
    if (handle_ != nullptr) {
        plat::CloseMapping(handle_);
        handle_ = nullptr;
    }
}

Channel Channel::Create(const std::u16string& name, plat::Space space) {
    return Channel(plat::CreateMapping(name, kChannelSize, space), name);
}

bool Channel::Reserve() const {
    return handle_ != nullptr && plat::ReserveSpace(handle_);
}

Channel Channel::Open(const std::u16string& name) {
    return Channel(plat::OpenMapping(name), name);
}

void Channel::MapNow() const {
    if (handle_ != nullptr) {
        plat::HandleView(handle_);
    }
}

void Channel::Ready() const {
    if (handle_ != nullptr) {
        plat::TouchPages(plat::HandleView(handle_));
    }
}

bool Channel::Write(const std::vector<std::uint8_t>& bytes) {
    if (handle_ == nullptr) {
        return false;
    }
    ScopedView view(handle_);
    if (view.get().data == nullptr || bytes.size() > view.get().size) {
        return false;
    }
    std::memset(view.get().data, 0, view.get().size);
    if (!bytes.empty()) {
        std::memcpy(view.get().data, bytes.data(), bytes.size());
    }
    return true;
}

std::vector<std::uint8_t> Channel::Read(std::size_t length) const {
    if (handle_ == nullptr) {
        return {};
    }
    ScopedView view(handle_);
    if (view.get().data == nullptr) {
        return {};
    }
    std::size_t count = std::min(length, view.get().size);
    return std::vector<std::uint8_t>(view.get().data, view.get().data + count);
}

} // namespace peer
