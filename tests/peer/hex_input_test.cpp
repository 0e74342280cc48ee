// Hex digits as the script's payloads and the URI's percent escapes read them: either case is a
// digit; anything else is refused the way each caller refuses input.
#include <gtest/gtest.h>

#include "peer/PeerError.h"
#include "peer/ReaderChoice.h"
#include "peer/Script.h"

namespace {

TEST(HexInput, ScriptPayloadBytesOrScriptError) {
    EXPECT_EQ(peer::ParseHex(""), std::vector<std::uint8_t>{});
    EXPECT_EQ(peer::ParseHex("00fFa9"), (std::vector<std::uint8_t>{0x00, 0xFF, 0xA9}));
    for (const char* bad : {"0", "0g", "g0", " 1", "1:", "-1"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(peer::ParseHex(bad), peer::ScriptError);
    }
}

TEST(HexInput, UriEscapesDecodedOrUsageFailure) {
    EXPECT_EQ(peer::ParseReader("pkcs11:token=A%4a%4B%20z").attributes.at("token"), "AJK z");
    for (const char* bad :
         {"pkcs11:token=%4", "pkcs11:token=%4g", "pkcs11:token=%g4", "pkcs11:token=%"}) {
        SCOPED_TRACE(bad);
        try {
            peer::ParseReader(bad);
            ADD_FAILURE() << "accepted";
        } catch (const peer::PeerFailure& f) {
            EXPECT_EQ(f.kind, peer::PeerError::Usage);
        }
    }
}

} // namespace
