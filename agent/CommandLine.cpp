#include "agent/CommandLine.h"

#include <vector>

#include "platform/codepage.h"

namespace {

constexpr char16_t kFieldMark[] = u"-/";

} // namespace

CommandLine ParseCommandLine(const std::u16string& line) {
    std::u16string cmdLine = line.substr(0, kCommandLineUnits - 1);
    // Each field's value ends at the first space after its "-/"; a value without a space
    // runs to the end of the line and is the last one read.
    std::vector<std::u16string> values;
    std::size_t pos = 0;
    while (values.size() < 3) {
        std::size_t mark = cmdLine.find(kFieldMark, pos);
        if (mark == std::u16string::npos) {
            break;
        }
        std::size_t start = mark + 2;
        std::size_t space = cmdLine.find(u' ', start);
        if (space == std::u16string::npos) {
            values.push_back(cmdLine.substr(start));
            break;
        }
        values.push_back(cmdLine.substr(start, space - start));
        pos = space + 1;
    }

    CommandLine result;
    if (values.size() > 0) {
        result.processId = static_cast<std::uint32_t>(plat::WideToLong(values[0].c_str()));
    }
    if (values.size() > 1) {
        result.memName = values[1];
    }
    if (values.size() > 2) {
        result.memName2 = values[2];
    }
    return result;
}

InfoRequest AskedForInfo(const std::u16string& line) {
    const std::size_t first = line.find_first_not_of(u" \t");
    if (first == std::u16string::npos) {
        return InfoRequest::None;
    }
    const std::u16string word = line.substr(first, line.find_last_not_of(u" \t") - first + 1);
    if (word == u"--help" || word == u"-h" || word == u"/?") {
        return InfoRequest::Help;
    }
    if (word == u"--version") {
        return InfoRequest::Version;
    }
    return InfoRequest::None;
}
