// The command lines and request arguments the programs parse: the agent's "-/" fields and the
// words, numbers, hex payloads and mechanism names of tessivo-peer's requests, with the text
// conversions its output goes through, and the reply frames it decodes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/CommandLine.h"
#include "peer/Script.h"
#include "peer/Session.h"
#include "peer/TokenRequests.h"
#include "protocol/Frames.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "command line: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The agent's command line: UTF-16 units, little-endian.
    std::u16string wide(size / 2, u'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    const CommandLine parsed = ParseCommandLine(wide);
    if (parsed.memName.size() >= kCommandLineUnits || parsed.memName2.size() >= kCommandLineUnits) {
        Fail("a field is longer than the line");
    }

    // tessivo-peer's request words and their arguments.
    const std::string line(reinterpret_cast<const char*>(data), size);
    for (const std::string& word : peer::SplitWords(line)) {
        if (word.empty()) {
            Fail("empty word");
        }
        try {
            peer::ParseNumber(word, "fuzz");
        } catch (const peer::ScriptError&) {
        }
        try {
            const std::vector<std::uint8_t> bytes = peer::ParseHex(word);
            if (bytes.size() * 2 != word.size()) {
                Fail("hex payload of the wrong length");
            }
        } catch (const peer::ScriptError&) {
        }
        peer::ParseMechanism(word);
    }

    // Output: any bytes become one JSON line; UTF-8 survives the UTF-16 round trip.
    const std::string json = peer::ToLine({{"text", line}, {"ansi", peer::AnsiToUtf8(line)}});
    if (json.find('\n') != std::string::npos) {
        Fail("JSON output spans lines");
    }
    // The same bytes as any reply frame: decoders never read past what they are given.
    const tessivo::Bytes frame(data, data + size);
    tessivo::DecodeLogFrame(frame);
    tessivo::DecodeCardRecord(frame);
    tessivo::DecodeLoginRecord(frame);
    tessivo::DecodeSignHeader(frame);
    tessivo::DecodeSignRequest(data, size);
    tessivo::DecodeTextRequest(data, size);
    const std::u16string u16 = peer::Utf8ToU16(line);
    peer::U16ToUtf8(u16);
    return 0;
}
