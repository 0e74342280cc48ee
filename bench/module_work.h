// The module work that a request stands for, done directly in the benchmark's own process: the
// baseline each benchmark sets an agent request against.
#pragma once

#include "cryptoki.h"

namespace bench {

// What MWM_CARD asks of the module: is a token there, and its serial number.
inline bool CardWork(CK_FUNCTION_LIST_PTR f, CK_SLOT_ID slot) {
    CK_SLOT_INFO slotInfo;
    CK_TOKEN_INFO token;
    return f->C_GetSlotInfo(slot, &slotInfo) == CKR_OK && f->C_GetTokenInfo(slot, &token) == CKR_OK;
}

// What MWM_SLOT asks: every slot and its description.
inline bool SlotsWork(CK_FUNCTION_LIST_PTR f) {
    CK_SLOT_ID slots[32];
    CK_ULONG count = 32;
    if (f->C_GetSlotList(CK_FALSE, slots, &count) != CKR_OK) {
        return false;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_SLOT_INFO info;
        if (f->C_GetSlotInfo(slots[i], &info) != CKR_OK) {
            return false;
        }
    }
    return true;
}

} // namespace bench
