// The console on Linux: an in-process text view with the rich-edit control's edit-message
// semantics. A paragraph break is stored as one CR, as the rich-edit control stores it, and
// every line finished at the end of the text is also written to standard error.
#include "platform/text.h"
#include "platform/console.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/posix/posix_util.h"

namespace plat {
namespace {

struct ConsoleState {
    std::u16string text;
    long selectionStart = 0;
    long selectionEnd = 0;
    long breaks = 0; // paragraph breaks in `text`, kept as it changes (the agent asks often)
};

long CountBreaks(std::u16string::const_iterator from, std::u16string::const_iterator to) {
    return static_cast<long>(std::count(from, to, u'\r'));
}

ConsoleState* Find(WindowHandle console) {
    return static_cast<ConsoleState*>(detail::ChildWindowData(console));
}

long Length(const ConsoleState& state) {
    return static_cast<long>(state.text.size());
}

// CR LF and a lone LF become the one CR the control keeps.
std::u16string ToParagraphBreaks(const std::u16string& text) {
    std::u16string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            continue; // the LF that follows is written as the break
        }
        result += text[i] == u'\n' ? u'\r' : text[i];
    }
    return result;
}

long LineStart(const std::u16string& text, long index) {
    if (index <= 0) {
        return 0;
    }
    const std::size_t cr = text.rfind(u'\r', static_cast<std::size_t>(index - 1));
    return cr == std::u16string::npos ? 0 : static_cast<long>(cr) + 1;
}

void Select(WindowHandle console, long from, long to) {
    ConsoleState* state = Find(console);
    if (state == nullptr) {
        return;
    }
    const long length = Length(*state);
    if (from < 0) {
        from = to = length; // no selection: the caret goes to the end
    }
    if (to < 0 || to > length) {
        to = length;
    }
    from = std::min(from, length);
    state->selectionStart = std::min(from, to);
    state->selectionEnd = std::max(from, to);
}

void MirrorFinishedLines(const std::u16string& text, long insertedAt, long insertedLength) {
    for (long i = insertedAt; i < insertedAt + insertedLength; ++i) {
        if (text[static_cast<std::size_t>(i)] != u'\r') {
            continue;
        }
        const long start = LineStart(text, i);
        const std::string line = Utf16ToUtf8(
            text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
}

} // namespace

WindowHandle CreateConsole(WindowHandle parent, std::uint32_t /*style*/, int /*x*/, int /*y*/,
                           int /*width*/, int /*height*/) {
    return detail::CreateChildWindow(parent, std::make_shared<ConsoleState>());
}

long ConsoleLineIndex(WindowHandle console, long line) {
    ConsoleState* state = Find(console);
    if (state == nullptr) {
        return -1;
    }
    if (line == -1) {
        return LineStart(state->text, state->selectionStart); // the caret's line
    }
    if (line < 0) {
        return -1;
    }
    std::size_t start = 0;
    for (long n = 0; n < line; ++n) {
        const std::size_t cr = state->text.find(u'\r', start);
        if (cr == std::u16string::npos) {
            return -1;
        }
        start = cr + 1;
    }
    return static_cast<long>(start);
}

long ConsoleLineLength(WindowHandle console, long charIndex) {
    ConsoleState* state = Find(console);
    if (state == nullptr) {
        return 0;
    }
    if (charIndex == -1) {
        charIndex = state->selectionStart;
    }
    if (charIndex < 0 || charIndex > Length(*state)) {
        return 0;
    }
    const long start = LineStart(state->text, charIndex);
    const std::size_t cr = state->text.find(u'\r', static_cast<std::size_t>(start));
    const long end = cr == std::u16string::npos ? Length(*state) : static_cast<long>(cr);
    return end - start;
}

void ConsoleSetSelectionEx(WindowHandle console, long from, long to) {
    Select(console, from, to);
}

void ConsoleSetSelection(WindowHandle console, long from, long to) {
    Select(console, from, to);
}

void ConsoleReplaceSelection(WindowHandle console, const std::u16string& text) {
    ConsoleState* state = Find(console);
    if (state == nullptr) {
        return;
    }
    const std::u16string inserted = ToParagraphBreaks(text);
    const long at = state->selectionStart;
    const bool atEnd = state->selectionEnd == Length(*state);
    state->breaks -=
        CountBreaks(state->text.begin() + at, state->text.begin() + state->selectionEnd);
    state->breaks += CountBreaks(inserted.begin(), inserted.end());
    state->text.replace(static_cast<std::size_t>(at),
                        static_cast<std::size_t>(state->selectionEnd - at), inserted);
    state->selectionStart = state->selectionEnd = at + static_cast<long>(inserted.size());
    if (atEnd) {
        MirrorFinishedLines(state->text, at, static_cast<long>(inserted.size()));
    }
}

long ConsoleTextLength(WindowHandle console) {
    ConsoleState* state = Find(console);
    if (state == nullptr) {
        return 0;
    }
    // Counted as the rich-edit control's GetWindowTextLengthW counts: a break as CR LF.
    return Length(*state) + state->breaks;
}

std::u16string ConsoleText(WindowHandle console) {
    ConsoleState* state = Find(console);
    return state == nullptr ? std::u16string() : state->text;
}

// Nothing is painted here: the text is kept and its lines mirrored as they are finished.
ConsoleEdits::ConsoleEdits(WindowHandle console) : console_(console) {}

ConsoleEdits::~ConsoleEdits() = default;

} // namespace plat
