// The agent's three channels as one owner: the request channel the peer made, the return channel
// the agent makes itself, and the log channel, with the names each was asked for. Every handle
// is closed when its owner goes.
#pragma once

#include <functional>
#include <string>

#include "platform/mapping.h"
#include "platform/types.h"

// One mapping handle, closed when it is replaced or goes.
class Channel {
public:
    Channel() = default;
    ~Channel() { Reset(); }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // The handle as the agent's record shows it: null while the channel is not open.
    const plat::MappingHandle& Handle() const { return handle_; }
    bool IsOpen() const { return handle_ != nullptr; }
    // Closes the handle held and keeps `handle` (null: the channel is then closed).
    void Reset(plat::MappingHandle handle = nullptr);
    // Gives the handle up without closing it.
    plat::MappingHandle Release();

private:
    plat::MappingHandle handle_ = nullptr;
};

// Receives each line the channel set-up reports, at the moment it is made.
using LineSink = std::function<void(const std::u16string&)>;

class ChannelSet {
public:
    // Creates the return channel under its fixed name, or under the fallback name when that
    // cannot be created.
    ChannelSet();
    // Closes the request, the return and the log channel, in that order.
    ~ChannelSet();
    ChannelSet(const ChannelSet&) = delete;
    ChannelSet& operator=(const ChannelSet&) = delete;

    // At window creation: the request channel under the default name, or under requestName when
    // one is known, and the log channel when its name is known. Channels opened before are
    // closed first.
    void OpenAtWindowCreation();
    // Once the peer is known: opens or creates every channel still closed, reporting each
    // failure with the system's last error, then the three handles.
    void Reopen(const LineSink& report);
    // Before the first request can come: takes the return channel's memory, maps it and touches
    // its pages, and readies the views of the request and log channels, which the first tick
    // opens; their first whole writes are then as quick as any other.
    void PrepareViews();

    Channel& Request() { return request_; }
    Channel& Return() { return return_; }
    Channel& Log() { return log_; }
    const Channel& Request() const { return request_; }
    const Channel& Return() const { return return_; }
    const Channel& Log() const { return log_; }

    // From the command line; the return channel's is the name it was created under.
    std::u16string requestName;
    std::u16string returnName;
    std::u16string logName;

private:
    void CreateReturn(plat::Space space);

    Channel request_;
    Channel return_;
    Channel log_;
};
