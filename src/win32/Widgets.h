// What the Win32 window does with its controls beyond making them: the
// system's dialogs as the window uses them, the reading list's lines, the
// port box's items and the log pane's text.
#pragma once

#include "acquisition/ScanRecord.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::win32 {

// A message box with the window's caption: an error to acknowledge, or a
// question answered yes (true) or no.
void ShowError(HWND owner, std::string_view text);
bool AskYes(HWND owner, std::string_view text);
// The common save dialog: the initial directory, the default extension
// (added to a name typed without one) and the name proposed; no file-type
// filter, and no question before a file is replaced. The chosen path, or
// nothing for a cancel.
std::optional<std::string> AskSavePath(HWND owner, const std::string& dir, const std::string& ext,
                                       const std::string& name);

// An owner-drawn reading-list line on the colour of its channel's state (its
// item data); a reading out of the table in white on red.
void DrawStateLine(const DRAWITEMSTRUCT& item, HFONT font);
// Line i of a list box: its text and its channel's state.
void SetStateLine(HWND list, size_t i, std::string_view text, TChannelState state);

// Item i of a combo box's list, and the first item whose text is text,
// letter case counting (-1 for none).
std::string ItemText(HWND box, LRESULT i);
LRESULT FindItem(HWND box, std::string_view text);

// Moves the focus from the control that has it (from, or a child of it) to
// the next one of order that is visible and enabled, or the one before.
void FocusNext(const std::vector<HWND>& order, HWND from, bool back);
// The colours of a static control (a label, a group box's caption, a check
// box): a label's text grey, all on the button face.
LRESULT StaticColors(HDC dc, HWND control);
// A right click or the menu key in control opens menu, not the control's
// own; its commands go to the top-level window.
void SetPopupMenu(HWND control, HMENU menu);

// Whether the pane's last line is in view: it follows the run then.
bool Following(HWND pane);
// Appends a line that carries its break, so that the next one starts a line
// of its own, after typed text too. The operator's selection stays; the pane
// follows the run while its last line is in view, and keeps its place
// otherwise. No undo takes the line back.
void AppendLine(HWND pane, std::string_view line);
// Puts text on top of the pane, and takes it off again (length in UTF-16
// units), with the undo step that would bring it back; a pane that followed
// the run follows it again.
size_t InsertTop(HWND pane, std::string_view text);
void RemoveTop(HWND pane, size_t length, bool follow);

} // namespace kelvara::win32
