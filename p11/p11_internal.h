// Helpers shared by the binding's units; not part of its interface.
#pragma once

#include <vector>

#include "p11/p11_call.h"
#include "p11/p11_key.h"

namespace p11detail {

// Reads one attribute at its real size into `value`: done, or what failed.
tessivo::Status ReadAttribute(const Call& call, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                              CK_ATTRIBUTE_TYPE type, std::vector<unsigned char>& value);

} // namespace p11detail
