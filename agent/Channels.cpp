#include "agent/Channels.h"

#include "agent/SharedMemory.h"
#include "platform/format.h"
#include "platform/mapping.h"
#include "protocol/Messages.h"

void Channel::Reset(plat::MappingHandle handle) {
    if (handle_ != nullptr && handle_ != handle) {
        CloseSharedMemory(handle_);
    }
    handle_ = handle;
}

plat::MappingHandle Channel::Release() {
    plat::MappingHandle handle = handle_;
    handle_ = nullptr;
    return handle;
}

// The agent starts on its peer's clock: the channel's memory is taken later, by PrepareViews,
// before anything is written into it.
ChannelSet::ChannelSet() {
    CreateReturn(plat::Space::Later);
}

void ChannelSet::CreateReturn(plat::Space space) {
    returnName = kReturnChannelName;
    return_.Reset(CreateReturnChannel(returnName, space));
    if (!return_.IsOpen()) {
        returnName = kReturnChannelFallback;
        return_.Reset(CreateReturnChannel(returnName, space));
    }
}

void ChannelSet::PrepareViews() {
    if (return_.IsOpen() && !plat::ReserveSpace(return_.Handle())) {
        // Made again as it would have been made with its memory at once; a failure leaves it
        // closed, for the first peer-watch tick to try again.
        return_.Reset();
        CreateReturn(plat::Space::Now);
    }
    if (return_.IsOpen()) {
        plat::TouchPages(plat::HandleView(return_.Handle())); // kept mapped for the handle's life
    }
    // The peer's channels are still opened by the first tick, as ever: this only readies the
    // views that opening will use. A channel that cannot be mapped now is left to that tick.
    if (!request_.IsOpen() && !requestName.empty()) {
        plat::PrepareView(requestName);
    }
    if (!log_.IsOpen() && !logName.empty()) {
        plat::PrepareView(logName);
    }
}

ChannelSet::~ChannelSet() {
    request_.Reset();
    return_.Reset();
    log_.Reset();
}

void ChannelSet::OpenAtWindowCreation() {
    request_.Reset();
    log_.Reset();
    request_.Reset(requestName.empty() ? OpenDefaultRequestChannel()
                                       : OpenSharedMemory(requestName.c_str()));
    log_.Reset(logName.empty() ? nullptr : OpenSharedMemory(logName.c_str()));
}

namespace {

// A handle as the log shows it.
std::int32_t HandleValue(const Channel& channel) {
    return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(channel.Handle()));
}

// The peer's channels are opened by name only: no default name, no fallback, no probe.
void OpenByName(Channel& channel, const std::u16string& name, const LineSink& report) {
    if (channel.IsOpen()) {
        return;
    }
    channel.Reset(plat::OpenMapping(name));
    if (!channel.IsOpen()) {
        report(plat::Format(u"message:lastError:%d(ReTry open %s)",
                            static_cast<int>(plat::LastError()), name.c_str()));
    }
}

} // namespace

// The lines go out one by one between the opens: whether a line reaches the peer depends on
// whether the log channel is open at that moment.
void ChannelSet::Reopen(const LineSink& report) {
    OpenByName(request_, requestName, report);
    if (!return_.IsOpen()) {
        return_.Reset(CreateReturnChannel(returnName));
        if (!return_.IsOpen()) {
            report(plat::Format(u"message:lastError:%d(ReTry create %s)",
                                static_cast<int>(plat::LastError()), returnName.c_str()));
        }
    }
    OpenByName(log_, logName, report);
    report(plat::Format(u"message:WM_CREATE,_hMem:%d,data:%s;", HandleValue(request_),
                        requestName.c_str()));
    report(plat::Format(u"message:WM_CREATE,_hMem1:%d,data:%s;", HandleValue(return_),
                        returnName.c_str()));
    report(
        plat::Format(u"message:WM_CREATE,_hMem2:%d,data:%s;", HandleValue(log_), logName.c_str()));
}
