#include "win32/Controls.h"

#include <commctrl.h>

namespace kelvara::win32 {

namespace {

constexpr wchar_t kPanelClass[] = L"KelvaraPanel";
constexpr wchar_t kShapeClass[] = L"KelvaraShape";
constexpr wchar_t kNoticeClass[] = L"KelvaraNotice";
// A combo box's height given to SetWindowPos is that of the box with its
// list dropped down.
constexpr int kDroppedList = 8 * TFormLayout::kListItemHeight;

// Child controls tell their parent; the window's handlers live in the
// top-level window, so a container passes these on.
bool IsNotification(UINT msg)
{
    switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN: return true;
    default: return false;
    }
}

LRESULT ToTop(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wp, lp);
}

// A panel draws its outer bevel (its GWLP_USERDATA, in pixels); a shape
// fills itself with its colour (GWLP_USERDATA) inside a black outline.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (IsNotification(msg)) return ToTop(hwnd, msg, wp, lp);
    if (msg != WM_PAINT) return DefWindowProcW(hwnd, msg, wp, lp);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    const LONG_PTR data = GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    if (lstrcmpW(cls, kShapeClass) == 0) {
        HBRUSH fill = CreateSolidBrush(COLORREF(data));
        FillRect(dc, &rc, fill);
        DeleteObject(fill);
        FrameRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    } else if (data > 0) {
        DrawEdge(dc, &rc, BDR_RAISEDOUTER, BF_RECT);
    }
    EndPaint(hwnd, &ps);
    return 0;
}

// A group box draws its frame and caption only; its inside is erased here,
// since its parent clips its children.
LRESULT CALLBACK GroupProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR)
{
    if (IsNotification(msg)) return ToTop(hwnd, msg, wp, lp);
    if (msg == WM_ERASEBKGND) {
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(reinterpret_cast<HDC>(wp), &rc, GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

struct TWindowKind {
    const wchar_t* Class;
    DWORD Style;
    DWORD ExStyle;
};

TWindowKind KindOf(const TControlEntry& s)
{
    const DWORD tab = s.Visible && s.Enabled ? WS_TABSTOP : 0;
    switch (s.Kind) {
    case TControlKind::Panel: return {kPanelClass, WS_CLIPCHILDREN, WS_EX_CONTROLPARENT};
    case TControlKind::ListBox:
        return {L"LISTBOX", tab | WS_VSCROLL | LBS_NOTIFY | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT,
                WS_EX_CLIENTEDGE};
    case TControlKind::Memo: {
        // The log pane wraps long lines at its width: no horizontal scrolling.
        const DWORD readOnly = s.Enabled ? ES_NOHIDESEL : ES_READONLY;
        return {L"EDIT", tab | readOnly | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL, WS_EX_CLIENTEDGE};
    }
    case TControlKind::GroupBox: return {L"BUTTON", BS_GROUPBOX | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT};
    case TControlKind::ComboBox: return {L"COMBOBOX", tab | CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL, 0};
    case TControlKind::Shape: return {kShapeClass, 0, 0};
    case TControlKind::Label: return {L"STATIC", DWORD(SS_NOPREFIX | (s.RightAnchored ? SS_RIGHT : SS_LEFT)), 0};
    case TControlKind::Edit: return {L"EDIT", tab | ES_RIGHT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    // A latching button: a click toggles its state before BN_CLICKED is
    // sent, and BM_SETCHECK from code sends nothing.
    case TControlKind::Button: return {L"BUTTON", BS_AUTOCHECKBOX | BS_PUSHLIKE, 0};
    case TControlKind::CheckBox: return {L"BUTTON", tab | BS_AUTOCHECKBOX, 0};
    }
    return {kPanelClass, 0, 0};
}

// The closed box as tall as the table has it: its height follows from the
// height of its selection field.
void FitComboHeight(HWND box, int height)
{
    const int now = RectInParent(box).Height;
    const LRESULT field = SendMessageW(box, CB_GETITEMHEIGHT, WPARAM(-1), 0);
    if (now != height && field > 0) SendMessageW(box, CB_SETITEMHEIGHT, WPARAM(-1), field + height - now);
}

} // namespace

std::wstring Wide(std::string_view utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(std::wstring_view wide)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::string ProgramDir(const std::string& exePath)
{
    std::string path = exePath;
    if (path.empty()) {
        std::wstring buf(MAX_PATH, L'\0');
        DWORD n = 0;
        while ((n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()))) >= buf.size())
            buf.resize(buf.size() * 2);
        path = Utf8(std::wstring_view(buf.data(), n));
    }
    return path.substr(0, path.find_last_of("\\/") + 1);
}

void RegisterWindowClass(const wchar_t* name, WNDPROC proc, HICON icon)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &wc)) return;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = icon;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

std::string TextOf(HWND control)
{
    std::wstring text(size_t(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(size_t(GetWindowTextW(control, text.data(), int(text.size()))));
    return Utf8(text);
}

void SetText(HWND control, std::string_view utf8)
{
    SetWindowTextW(control, Wide(utf8).c_str());
}

std::wstring WithCrLf(std::string_view utf8)
{
    std::wstring text;
    for (wchar_t c : Wide(utf8)) {
        if (c == L'\n' && (text.empty() || text.back() != L'\r')) text += L'\r';
        text += c;
    }
    return text;
}

HWND MakeControl(const TControlEntry& s, HWND parent, HFONT font)
{
    RegisterWindowClass(kPanelClass, PanelProc);
    RegisterWindowClass(kShapeClass, PanelProc);
    const TWindowKind kind = KindOf(s);
    const DWORD style = WS_CHILD | kind.Style | (s.Visible ? WS_VISIBLE : 0) | (s.Enabled ? 0 : WS_DISABLED);
    HWND w = CreateWindowExW(kind.ExStyle, kind.Class, nullptr, style, s.X, s.Y, s.Width, s.Height, parent, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    switch (s.Kind) {
    case TControlKind::Panel: SetWindowLongPtrW(w, GWLP_USERDATA, s.Bevel); break;
    case TControlKind::Shape: SetWindowLongPtrW(w, GWLP_USERDATA, LONG_PTR(Colorref(TFormLayout::kWhite))); break;
    case TControlKind::GroupBox: SetWindowSubclass(w, GroupProc, 0, 0); break;
    case TControlKind::ListBox: SendMessageW(w, LB_SETITEMHEIGHT, 0, TFormLayout::kListItemHeight); break;
    case TControlKind::Memo:
        // A multi-line edit control takes 32 767 characters unless told more.
        SendMessageW(w, EM_SETLIMITTEXT, 0, 0);
        break;
    case TControlKind::ComboBox:
        for (const std::string& item : SplitCommaText(s.Items))
            SendMessageW(w, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
        SendMessageW(w, CB_SETCURSEL, WPARAM(s.Selected), 0);
        FitComboHeight(w, s.Height);
        break;
    default: break;
    }
    SetWindowTextW(w, WithCrLf(s.Caption).c_str());
    return w;
}

void Place(HWND control, const TRect& r)
{
    wchar_t cls[16] = {};
    GetClassNameW(control, cls, 16);
    const int dropped = lstrcmpiW(cls, L"COMBOBOX") == 0 ? kDroppedList : 0;
    SetWindowPos(control, nullptr, r.X, r.Y, r.Width, r.Height + dropped, SWP_NOZORDER | SWP_NOACTIVATE);
}

TRect RectInParent(HWND control)
{
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return {int(r.left), int(r.top), int(r.right - r.left), int(r.bottom - r.top)};
}

SIZE TextExtent(HWND label)
{
    const std::wstring text = Wide(TextOf(label));
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    return size;
}

void SetShapeColor(HWND shape, TRgb color)
{
    SetWindowLongPtrW(shape, GWLP_USERDATA, LONG_PTR(Colorref(color)));
    InvalidateRect(shape, nullptr, TRUE);
}

TRgb ShapeColor(HWND shape)
{
    const COLORREF c = COLORREF(GetWindowLongPtrW(shape, GWLP_USERDATA));
    return {GetRValue(c), GetGValue(c), GetBValue(c)};
}

HFONT MakeFormFont(const std::string& fontDir)
{
    // A missing file leaves the system's fonts as they are.
    AddFontResourceExW(Wide(fontDir + "Cousine-Regular.ttf").c_str(), FR_PRIVATE, nullptr);
    LOGFONTW font{};
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, Wide(TFormLayout::kFontName).c_str(), LF_FACESIZE);
    bool found = false;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(
        dc, &font,
        [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) -> int {
            *reinterpret_cast<bool*>(found) = true;
            return 0;
        },
        reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    if (!found) {
        font.lfFaceName[0] = L'\0';
        font.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    }
    // A negative height is the character's, without the internal leading.
    font.lfHeight = -TFormLayout::kFontPixels;
    return CreateFontIndirectW(&font);
}

std::string FaceOf(HFONT font)
{
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return Utf8(face);
}

namespace {

LRESULT CALLBACK NoticeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_COMMAND && LOWORD(wp) == IDOK) return DestroyWindow(hwnd), 0;
    if (msg == WM_SIZE) {
        const int w = LOWORD(lp), h = HIWORD(lp);
        SetWindowPos(GetDlgItem(hwnd, 1), nullptr, 12, 12, w - 24, h - 60, SWP_NOZORDER);
        SetWindowPos(GetDlgItem(hwnd, IDOK), nullptr, w - 100, h - 38, 88, 28, SWP_NOZORDER);
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

} // namespace

HWND ShowNotice(HWND owner, HWND notice, std::string_view text, HFONT font)
{
    if (!IsWindow(notice)) {
        RegisterWindowClass(kNoticeClass, NoticeProc);
        wchar_t caption[64] = {};
        GetWindowTextW(owner, caption, 64);
        notice = CreateWindowExW(WS_EX_DLGMODALFRAME, kNoticeClass, caption, WS_POPUP | WS_CAPTION | WS_SYSMENU,
                                 CW_USEDEFAULT, CW_USEDEFAULT, 520, 220, owner, nullptr, nullptr, nullptr);
        HWND body =
            CreateWindowExW(0, L"EDIT", nullptr, WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 0, 0,
                            0, 0, notice, reinterpret_cast<HMENU>(1), nullptr, nullptr);
        HWND ok = CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0, 0,
                                  0, notice, reinterpret_cast<HMENU>(IDOK), nullptr, nullptr);
        for (HWND w : {body, ok}) SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        RECT rc;
        GetClientRect(notice, &rc);
        SendMessageW(notice, WM_SIZE, 0, MAKELPARAM(rc.right, rc.bottom));
    }
    HWND body = GetDlgItem(notice, 1);
    const std::string before = TextOf(body);
    SetWindowTextW(body, WithCrLf(before.empty() ? std::string(text) : before + "\n" + std::string(text)).c_str());
    ShowWindow(notice, SW_SHOWNOACTIVATE);
    return notice;
}

} // namespace kelvara::win32
