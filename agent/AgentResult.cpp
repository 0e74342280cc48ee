#include "agent/AgentResult.h"

#include "protocol/ResultCodes.h"

std::uint32_t LoginResultCode(const AgentResult& result) {
    switch (result.what) {
    case Failed::Nothing:
        return OK;
    case Failed::NotReady:
        return 0xFFFFFFFFu;
    case Failed::PinTooLong:
        return tessivo::kPinLengthRange;
    case Failed::Library:
        return result.code;
    case Failed::NoSignature:
    case Failed::Unexpected:
        break;
    }
    return result.systemError;
}

std::uint32_t SignResultCode(const AgentResult& result) {
    switch (result.what) {
    case Failed::Nothing:
        return 0;
    case Failed::Library:
        return result.code != OK ? result.code : 1;
    default:
        return 1;
    }
}
