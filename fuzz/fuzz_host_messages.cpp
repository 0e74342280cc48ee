// libFuzzer target: any bytes as a request body reach the parser and the reply builder, which
// must answer every one of them without a crash, a leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/Messages.h"
#include "protocol/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const host::Parsed p = host::ParseRequest(body);
    if (p.ok) {
        host::ResultReply(p.ok->id, nlohmann::json::object());
    } else if (p.failed) {
        host::ErrorReply(p.id, *p.failed);
    }
    bool ok = false;
    tessivo::DecodeBase64Strict(body, ok);
    host::OriginAllowed(body);
    return 0;
}
