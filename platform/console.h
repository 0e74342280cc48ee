// The console: a read-only multi-line text view driven with the rich-edit control's edit
// messages ("RICHEDIT50W" of Msftedit.dll on Windows; an in-process control on Linux that
// stores a paragraph break as one CR, as the rich-edit control does, and mirrors every finished
// line to standard error).
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

// Loads Msftedit.dll and creates the control as a child of `parent` with the given style and
// extended style WS_EX_CLIENTEDGE, control id 0. 0 on failure.
WindowHandle CreateConsole(WindowHandle parent, std::uint32_t style, int x, int y, int width,
                           int height);

// EM_LINEINDEX: character index of `line`'s first character, -1 when there is no such line.
long ConsoleLineIndex(WindowHandle console, long line);
// EM_LINELENGTH: length of the line that holds character `charIndex`.
long ConsoleLineLength(WindowHandle console, long charIndex);
// EM_EXSETSEL with a CHARRANGE; (-1, -1) puts the caret at the end.
void ConsoleSetSelectionEx(WindowHandle console, long from, long to);
// EM_SETSEL.
void ConsoleSetSelection(WindowHandle console, long from, long to);
// EM_REPLACESEL, not undoable.
void ConsoleReplaceSelection(WindowHandle console, const std::u16string& text);
// GetWindowTextLengthW (the rich-edit control counts a paragraph break as CR LF here).
long ConsoleTextLength(WindowHandle console);
// The whole text with paragraph breaks as "\r" (for tests and diagnostics).
std::u16string ConsoleText(WindowHandle console);

// Holds the console's painting while one entry is written in several edits (WM_SETREDRAW), then
// has it painted once, when its window is next idle: the rich-edit control would otherwise
// paint after every edit, which under Wine made an entry in a full console take three times as
// long. The text, the caret and the scroll position come out as the edits leave them.
class ConsoleEdits {
public:
    explicit ConsoleEdits(WindowHandle console);
    ~ConsoleEdits();
    ConsoleEdits(const ConsoleEdits&) = delete;
    ConsoleEdits& operator=(const ConsoleEdits&) = delete;

private:
    [[maybe_unused]] WindowHandle console_; // unused where nothing is painted
};

} // namespace plat
