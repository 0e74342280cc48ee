// A read-only view of a PKCS#11 module for discovery, beside the binding: the slot list in the
// module's order with the module's own slot ids, slot and token information, and the
// certificate objects a session without login shows. It opens read-only sessions only and never
// logs in. Every call goes through p11detail::Call, as the binding's do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cryptoki.h"
#include "platform/types.h"
#include "status/Status.h"

namespace p11view {

struct SlotFacts {
    CK_SLOT_ID id = 0;
    CK_SLOT_INFO slot{};
    bool tokenPresent = false; // and `token` read
    CK_TOKEN_INFO token{};
};

struct CertificateFacts {
    std::vector<std::uint8_t> id;    // CKA_ID
    std::vector<std::uint8_t> label; // CKA_LABEL
    std::vector<std::uint8_t> der;   // CKA_VALUE
};

class ReadOnlyModule {
public:
    ReadOnlyModule() = default;
    ~ReadOnlyModule();
    ReadOnlyModule(const ReadOnlyModule&) = delete;
    ReadOnlyModule& operator=(const ReadOnlyModule&) = delete;

    // Loads and initialises the module (one already initialised in this process is used as it
    // is and left so). A file that cannot be loaded is NoModule, one without a function list a
    // BrokenModule, a refused C_Initialize Refused with the module's code.
    tessivo::Status Open(const char* path);
    bool IsOpen() const { return functions_ != nullptr; }
    // Every slot with or without a token; a slot that vanished meanwhile is left out.
    tessivo::Status Slots(std::vector<SlotFacts>& out) const;
    // The certificates a session without login shows, in the module's order.
    tessivo::Status Certificates(CK_SLOT_ID slot, std::vector<CertificateFacts>& out) const;

private:
    void Close();

    plat::ModuleHandle handle_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    bool finalize_ = false;
};

} // namespace p11view
