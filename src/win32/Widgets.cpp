#include "win32/Widgets.h"

#include "form/Layout.h"
#include "win32/Controls.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>

namespace kelvara::win32 {

void ShowError(HWND owner, std::string_view text)
{
    MessageBoxW(owner, WithCrLf(text).c_str(), Wide(TFormLayout::kCaption).c_str(), MB_OK | MB_ICONERROR);
}

bool AskYes(HWND owner, std::string_view text)
{
    return MessageBoxW(owner, WithCrLf(text).c_str(), Wide(TFormLayout::kCaption).c_str(),
                       MB_YESNO | MB_ICONQUESTION) == IDYES;
}

std::optional<std::string> AskSavePath(HWND owner, const std::string& dir, const std::string& ext,
                                       const std::string& name)
{
    std::wstring file = Wide(name);
    file.resize(std::max<size_t>(file.size() + 1, 32768), L'\0');
    const std::wstring initialDir = Wide(dir), defaultExt = Wide(ext);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = DWORD(file.size());
    ofn.lpstrInitialDir = initialDir.c_str();
    ofn.lpstrDefExt = defaultExt.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    if (!GetSaveFileNameW(&ofn)) return std::nullopt;
    return Utf8(file.c_str());
}

void DrawStateLine(const DRAWITEMSTRUCT& item, HFONT font)
{
    if (item.itemID == UINT(-1)) return;
    const TChannelState state = TChannelState(item.itemData);
    const std::optional<TRgb> color = TFormLayout::StateColor(state);
    COLORREF back = color ? Colorref(*color) : GetSysColor(COLOR_WINDOW);
    COLORREF fore = state == TChannelState::OutOfRange ? RGB(255, 255, 255) : GetSysColor(COLOR_WINDOWTEXT);
    if (item.itemState & ODS_SELECTED) back = GetSysColor(COLOR_HIGHLIGHT), fore = GetSysColor(COLOR_HIGHLIGHTTEXT);
    HBRUSH brush = CreateSolidBrush(back);
    FillRect(item.hDC, &item.rcItem, brush);
    DeleteObject(brush);
    std::wstring text(size_t(SendMessageW(item.hwndItem, LB_GETTEXTLEN, item.itemID, 0)) + 1, L'\0');
    text.resize(size_t(SendMessageW(item.hwndItem, LB_GETTEXT, item.itemID, LPARAM(text.data()))));
    HGDIOBJ old = SelectObject(item.hDC, font);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, fore);
    RECT r = item.rcItem;
    r.left += 2;
    DrawTextW(item.hDC, text.c_str(), int(text.size()), &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_EXPANDTABS);
    SelectObject(item.hDC, old);
    if (item.itemState & ODS_FOCUS) DrawFocusRect(item.hDC, &item.rcItem);
}

void SetStateLine(HWND list, size_t i, std::string_view text, TChannelState state)
{
    SendMessageW(list, LB_DELETESTRING, i, 0);
    SendMessageW(list, LB_INSERTSTRING, i, LPARAM(Wide(text).c_str()));
    SendMessageW(list, LB_SETITEMDATA, i, LPARAM(state));
}

std::string ItemText(HWND box, LRESULT i)
{
    std::wstring item(size_t(std::max<LRESULT>(SendMessageW(box, CB_GETLBTEXTLEN, WPARAM(i), 0), 0)) + 1, L'\0');
    item.resize(size_t(std::max<LRESULT>(SendMessageW(box, CB_GETLBTEXT, WPARAM(i), LPARAM(item.data())), 0)));
    return Utf8(item);
}

LRESULT FindItem(HWND box, std::string_view text)
{
    // CB_FINDSTRINGEXACT ignores letter case, which a port name's does not.
    const LRESULT count = SendMessageW(box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i)
        if (ItemText(box, i) == text) return i;
    return -1;
}

void FocusNext(const std::vector<HWND>& order, HWND from, bool back)
{
    const size_t n = order.size();
    size_t at = back ? 0 : n - 1;
    for (size_t i = 0; i < n; ++i)
        if (order[i] == from || IsChild(order[i], from)) at = i;
    for (size_t k = 1; k <= n; ++k) {
        HWND next = order[(at + (back ? n - k : k)) % n];
        if (IsWindowVisible(next) && IsWindowEnabled(next)) {
            SetFocus(next);
            return;
        }
    }
}

LRESULT StaticColors(HDC dc, HWND control)
{
    wchar_t cls[16] = {};
    GetClassNameW(control, cls, 16);
    if (lstrcmpiW(cls, L"Static") == 0) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

namespace {

LRESULT CALLBACK PopupMenuProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR menu)
{
    if (msg != WM_CONTEXTMENU) return DefSubclassProc(hwnd, msg, wp, lp);
    POINT at{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
    if (at.x == -1 && at.y == -1) { // the menu key
        at = {0, 0};
        ClientToScreen(hwnd, &at);
    }
    TrackPopupMenu(reinterpret_cast<HMENU>(menu), TPM_RIGHTBUTTON, at.x, at.y, 0, GetAncestor(hwnd, GA_ROOT), nullptr);
    return 0;
}

} // namespace

void SetPopupMenu(HWND control, HMENU menu)
{
    SetWindowSubclass(control, PopupMenuProc, 0, reinterpret_cast<DWORD_PTR>(menu));
}

bool Following(HWND pane)
{
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    if (!GetScrollInfo(pane, SB_VERT, &si) || si.nPage == 0) return true;
    return si.nPos + int(si.nPage) >= si.nMax;
}

void AppendLine(HWND pane, std::string_view line)
{
    const bool following = Following(pane);
    DWORD selStart = 0, selEnd = 0;
    SendMessageW(pane, EM_GETSEL, WPARAM(&selStart), LPARAM(&selEnd));
    const LRESULT top = SendMessageW(pane, EM_GETFIRSTVISIBLELINE, 0, 0);
    const int end = GetWindowTextLengthW(pane);
    SendMessageW(pane, EM_SETSEL, end, end);
    const bool atLineStart = SendMessageW(pane, EM_LINEINDEX, WPARAM(-1), 0) == end;
    const std::wstring text = (atLineStart ? L"" : L"\r\n") + Wide(line) + L"\r\n";
    SendMessageW(pane, EM_REPLACESEL, FALSE, LPARAM(text.c_str()));
    SendMessageW(pane, EM_EMPTYUNDOBUFFER, 0, 0);
    SendMessageW(pane, EM_SETSEL, selStart, selEnd);
    if (following)
        SendMessageW(pane, WM_VSCROLL, SB_BOTTOM, 0);
    else
        SendMessageW(pane, EM_LINESCROLL, 0, top - SendMessageW(pane, EM_GETFIRSTVISIBLELINE, 0, 0));
}

size_t InsertTop(HWND pane, std::string_view text)
{
    const std::wstring top = WithCrLf(text);
    SendMessageW(pane, EM_SETSEL, 0, 0);
    SendMessageW(pane, EM_REPLACESEL, FALSE, LPARAM(top.c_str()));
    return top.size();
}

void RemoveTop(HWND pane, size_t length, bool follow)
{
    SendMessageW(pane, EM_SETSEL, 0, LPARAM(length));
    SendMessageW(pane, EM_REPLACESEL, FALSE, LPARAM(L""));
    SendMessageW(pane, EM_EMPTYUNDOBUFFER, 0, 0);
    if (follow) SendMessageW(pane, WM_VSCROLL, SB_BOTTOM, 0);
}

} // namespace kelvara::win32
