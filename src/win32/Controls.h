// The Win32 controls the window is made of: one for each row of the layout
// table (the panel and the indicator shape are window classes of this
// program), the window's font, the notice window, and text at the API: UTF-8
// inside, UTF-16 at every call.
#pragma once

#include "form/Layout.h"

#include <windows.h>

#include <string>
#include <string_view>

namespace kelvara::win32 {

// A window class of this program on the button face, once.
void RegisterWindowClass(const wchar_t* name, WNDPROC proc, HICON icon = nullptr);

// The system's conversions: invalid UTF-8 and unpaired surrogates become
// U+FFFD.
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);
// The directory of the program at exePath (empty: the running one), with
// its final separator.
std::string ProgramDir(const std::string& exePath);

std::string TextOf(HWND control);
void SetText(HWND control, std::string_view utf8);
// A multi-line edit control breaks lines with CR LF only.
std::wstring WithCrLf(std::string_view utf8);
inline COLORREF Colorref(TRgb c)
{
    return RGB(c.R, c.G, c.B);
}

// The control of one row of the table, with its caption, items, initial
// state and the font, in parent (the window itself or the row's parent).
// Containers (panels, group boxes) hand their children's notifications
// (WM_COMMAND, WM_CTLCOLOR*, WM_DRAWITEM) on to the top-level window.
HWND MakeControl(const TControlEntry& entry, HWND parent, HFONT font);
// Moves a control to its rectangle in its parent's client area. A combo
// box's rectangle is its closed box; its list drops below it.
void Place(HWND control, const TRect& rect);
// The rectangle of a control in its parent's client area.
TRect RectInParent(HWND control);
// The size of a label's caption in its font.
SIZE TextExtent(HWND label);

// The indicator's fill.
void SetShapeColor(HWND shape, TRgb color);
TRgb ShapeColor(HWND shape);

// The window's font: Cousine at its pixel height, loaded for this process
// alone from the font file beside the program (fontDir), or the system's
// when it has one; a fixed-pitch font of the system's when neither has it.
HFONT MakeFormFont(const std::string& fontDir);
// The face name of a font handle.
std::string FaceOf(HFONT font);

// Tells without asking: a window beside the owner that stays open while the
// run goes on. A notice told while the last one is still open is added to
// it, so that an adapter that drops out again and again does not pile up
// windows. Returns the window (notice, or a new one).
HWND ShowNotice(HWND owner, HWND notice, std::string_view text, HFONT font);

} // namespace kelvara::win32
