// The console entries and their forwarding to the peer through the log channel.
#include "agent/ActivityLog.h"

#include <string>

#include "agent/AgentProcess.h"
#include "agent/SharedMemory.h"
#include "platform/console.h"
#include "platform/format.h"
#include "platform/text.h"
#include "protocol/Frames.h"

namespace {

constexpr std::uint16_t kConsoleEntries = 51;

// Removes the console's first line with its break, so the console keeps the latest entries.
void DropFirstLine(plat::WindowHandle console) {
    long index = plat::ConsoleLineIndex(console, 0);
    if (index == -1) {
        return;
    }
    long length = plat::ConsoleLineLength(console, 0);
    plat::ConsoleSetSelectionEx(console, index, index + length + 1);
    plat::ConsoleReplaceSelection(console, u"");
    --Process().consoleEntries;
}

void AppendAtEnd(plat::WindowHandle console, const std::u16string& text) {
    long end = plat::ConsoleTextLength(console);
    plat::ConsoleSetSelection(console, end, end);
    plat::ConsoleReplaceSelection(console, text);
}

} // namespace

void ActivityLog::Append(plat::WindowHandle console, const char16_t* text) {
    if (console == 0) {
        return;
    }
    std::u16string entry = text != nullptr ? std::u16string(text) : std::u16string();
    const plat::ConsoleEdits edits(console); // one paint for the entry's edits, not one each
    AgentProcess& process = Process();

    std::uint16_t before = process.consoleEntries++;
    if (before >= kConsoleEntries) {
        DropFirstLine(console);
    }

    plat::ConsoleSetSelectionEx(console, -1, -1);
    plat::ConsoleReplaceSelection(console, entry);

    if (window_ != 0 && logChannel_.IsOpen()) {
        bool framed = false;
        tessivo::Bytes frame;
        try {
            frame = tessivo::EncodeLogFrame(plat::NarrowText(entry));
            framed = true;
        } catch (...) {
            // No frame: the entry is shown without forwarding it.
        }
        if (framed) {
            std::int32_t length = static_cast<std::int32_t>(frame.size());
            process.lastForwardResult = Forward(frame.data(), length);
            AppendAtEnd(console, plat::Format(u"wResult:%d", process.lastForwardResult));
        }
    }
    AppendAtEnd(console, u"\r\n");
}

std::int32_t ActivityLog::Forward(const unsigned char* frame, std::int32_t length) {
    if (!logChannel_.IsOpen()) {
        return 0;
    }
    return WriteSharedMemory(logChannel_.Handle(), frame, length);
}
