// The peer's requests: one handler per message id of the catalogue. Each reads its payload from
// the request channel, calls one token operation, writes its reply frames and logs one line.
#pragma once

#include <cstdint>
#include <string>

#include "agent/ActivityLog.h"
#include "agent/Channels.h"
#include "agent/PeerWatch.h"
#include "agent/ResultNames.h"
#include "agent/TokenOperations.h"

class RequestHandlers {
public:
    RequestHandlers(ChannelSet& channels, TokenOperations& card, ActivityLog& log, PeerWatch& watch,
                    const CodeNames& names)
        : channels_(channels), card_(card), log_(log), watch_(watch), names_(names) {}

    // The message's result; a handler that fails on the way answers its failure result.
    std::int32_t Dispatch(std::uint32_t message, std::uint32_t wParam, std::int32_t lParam);

private:
    std::int32_t OnHello(std::int32_t lParam);
    std::int32_t OnSlot(std::uint32_t wParam);
    std::int32_t OnCard(std::uint32_t wParam);
    std::int32_t OnSign(std::uint32_t wParam);
    std::int32_t OnCertInf(std::uint32_t wParam);
    std::int32_t OnLogin(std::uint32_t wParam);
    std::int32_t OnLogout(std::uint32_t wParam);

    void LogReaders();
    bool WriteLoginSuccess();
    bool WriteLoginFailure(std::uint32_t code, const std::u16string& errorText);

    plat::MappingHandle RequestChannel() const { return channels_.Request().Handle(); }
    plat::MappingHandle ReturnChannel() const { return channels_.Return().Handle(); }
    void Log(const std::u16string& line) { log_.Line(line); }

    ChannelSet& channels_;
    TokenOperations& card_;
    ActivityLog& log_;
    PeerWatch& watch_;
    const CodeNames& names_;
};
