#include "win32/Form1.h"

#include "win32/Controls.h"
#include "win32/Widgets.h"

#include <commctrl.h>

#include <algorithm>

using namespace kelvara;
using namespace kelvara::win32;

namespace {

constexpr wchar_t kFormClass[] = L"KelvaraForm1";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
// Messages the window posts itself, to be handled from the message loop.
constexpr UINT kDeliver = WM_APP + 1;  // the session has events waiting
constexpr UINT kFailures = WM_APP + 2; // failures wait to be shown
constexpr UINT kStarted = WM_APP + 3;  // the window shows
constexpr UINT kSelect = WM_APP + 4;   // an item of the port box became the selection
// The log pane's menu entries' command ids, in the order of the table.
constexpr UINT kMenuBase = 100;

} // namespace

TForm1::TForm1(TLocaleSettings locale, TFormOptions options) : locale_(std::move(locale)), options_(std::move(options))
{
    SetDefaultHooks();
    BuildControls();
    // A failing start is shown, and the window opens all the same.
    HandleEvent([this] { FormCreate(); });
}

TForm1::~TForm1()
{
    // A window destroyed without a successful close still ends its session.
    Session.reset();
    if (IsWindow(form_)) {
        SetWindowLongPtrW(form_, GWLP_USERDATA, 0);
        DestroyWindow(form_);
    }
    DestroyMenu(PopupMenu3);
    DeleteObject(Font);
}

void TForm1::SetDefaultHooks()
{
    if (!options_.ShowMessage) options_.ShowMessage = [this](const std::string& text) { ShowError(form_, text); };
    if (!options_.ShowNotice)
        options_.ShowNotice = [this](const std::string& text) { notice_ = ShowNotice(form_, notice_, text, Font); };
    if (!options_.OfferJournal)
        options_.OfferJournal = [this](const TJournalInfo& journal, const std::string& question) {
            return AskYes(form_, question + "\n\n" + journal.Path);
        };
    if (!options_.AskSavePath)
        options_.AskSavePath = [this](const std::string& dir, const std::string& ext, const std::string& name) {
            return AskSavePath(form_, dir, ext, name);
        };
}

void TForm1::BuildControls()
{
    RegisterWindowClass(kFormClass, WindowProc, LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1)));
    Font = MakeFormFont(ProgramDir(options_.ExecutablePath));
    RECT r{0, 0, TFormLayout::kClientWidth, TFormLayout::kClientHeight};
    AdjustWindowRectEx(&r, kStyle, FALSE, 0);
    // The system chooses where the window goes.
    CreateWindowExW(0, kFormClass, Wide(TFormLayout::kCaption).c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                    r.right - r.left, r.bottom - r.top, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    SendMessageW(form_, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);

    for (const TControlEntry& entry : TFormLayout::Controls()) {
        const auto parent = controls_.find(entry.Parent);
        controls_[std::string(entry.Name)] =
            MakeControl(entry, parent == controls_.end() ? form_ : parent->second, Font);
    }
    ListBox1 = Control("ListBox1"), Memo1 = Control("Memo1"), Memo2 = Control("Memo2"), ComCBox = Control("ComCBox");
    cbxBaud = Control("cbxBaud"), cbxParity = Control("cbxParity"), shConnect = Control("shConnect");
    ePeriod = Control("ePeriod"), lbTime = Control("lbTime"), sbRun = Control("sbRun"), cbOffset = Control("cbOffset");

    PopupMenu3 = CreatePopupMenu();
    const std::vector<TMenuEntry>& menu = TFormLayout::LogMenu();
    for (size_t i = 0; i < menu.size(); ++i)
        AppendMenuW(PopupMenu3, MF_STRING, kMenuBase + i, Wide(menu[i].Caption).c_str());
    SetPopupMenu(Memo1, PopupMenu3);
    savedFocus_ = Control(TFormLayout::TabOrder().front());
    Arrange();
}

HWND TForm1::Control(std::string_view name) const
{
    const auto found = controls_.find(name);
    return found == controls_.end() ? nullptr : found->second;
}

void TForm1::SetClientSize(int width, int height)
{
    RECT r{0, 0, width, height};
    AdjustWindowRectEx(&r, DWORD(GetWindowLongW(form_, GWL_STYLE)), FALSE, DWORD(GetWindowLongW(form_, GWL_EXSTYLE)));
    SetWindowPos(form_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Every control where the layout table puts it for the client area's size;
// a label that sizes itself to its text keeps its anchored edge.
void TForm1::Arrange()
{
    RECT client;
    GetClientRect(form_, &client);
    const std::vector<TRect> rects = TFormLayout::Arrange(client.right, client.bottom);
    const std::vector<TControlEntry>& entries = TFormLayout::Controls();
    for (size_t i = 0; i < entries.size(); ++i) {
        HWND control = Control(entries[i].Name);
        if (!control) return; // the window's first WM_SIZE comes before its controls
        TRect r = rects[i];
        if (entries[i].AutoSize) {
            const SIZE text = TextExtent(control);
            r = TFormLayout::AutoSized(entries[i], r, int(text.cx), int(text.cy));
        }
        Place(control, r);
    }
}

// Tab and Shift+Tab move along the table's tab order, from the log pane too.
bool TForm1::PreTranslate(const MSG& msg)
{
    if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB || GetKeyState(VK_CONTROL) < 0) return false;
    if (!IsChild(form_, msg.hwnd)) return false;
    std::vector<HWND> order;
    for (const std::string_view name : TFormLayout::TabOrder()) order.push_back(Control(name));
    FocusNext(order, msg.hwnd, GetKeyState(VK_SHIFT) < 0);
    return true;
}

// ------------------------------------------------------------------ messages

LRESULT CALLBACK TForm1::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_NCCREATE) {
        auto* form = static_cast<TForm1*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        form->form_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<TForm1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return form ? form->Handle(msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT TForm1::Handle(UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_SIZE:
        if (wp != SIZE_MINIMIZED) Arrange();
        return 0;
    case WM_COMMAND: Command(reinterpret_cast<HWND>(lp), HIWORD(wp), LOWORD(wp)); return 0;
    case WM_CTLCOLORSTATIC: return StaticColors(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_DRAWITEM: DrawStateLine(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp), Font); return TRUE;
    case WM_ACTIVATE:
        // The focus goes back where it was when the window comes back;
        // that is not the operator entering the port box.
        if (LOWORD(wp) == WA_INACTIVE) {
            if (HWND focus = GetFocus(); focus && IsChild(form_, focus)) savedFocus_ = focus;
        } else if (IsWindow(savedFocus_)) {
            restoringFocus_ = true;
            SetFocus(savedFocus_);
            restoringFocus_ = false;
        }
        return 0;
    case WM_CLOSE:
        // A failed close is abandoned: the window stays, and so does the run.
        if (HandleEvent([this] { FormClose(); })) DestroyWindow(form_);
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case kDeliver:
        if (Session) Session->Deliver(*this);
        return 0;
    case kFailures: ShowFailures(); return 0;
    case kStarted: Started(); return 0;
    case kSelect:
        selectPending_ = false;
        HandleEvent([this] {
            TakeChosenItem();
            ComCBoxSelect();
        });
        return 0;
    default: return DefWindowProcW(form_, msg, wp, lp);
    }
}

void TForm1::Command(HWND from, WORD code, WORD id)
{
    if (!from && id >= kMenuBase && id < kMenuBase + TFormLayout::LogMenu().size()) {
        const std::string_view entry = TFormLayout::LogMenu()[id - kMenuBase].Name;
        if (entry == "Clear1") HandleEvent([this] { Clear1Click(); });
        if (entry == "Selectall1") HandleEvent([this] { Selectall1Click(); });
        if (entry == "Saveas1") HandleEvent([this] { Saveas1Click(); });
    } else if (from == ComCBox) {
        if (code == CBN_SETFOCUS && !restoringFocus_) HandleEvent([this] { ComCBoxEnter(); });
        // An item becomes the selection: picked from the dropped list (which
        // ends in CBN_SELENDOK), stepped to with an arrow key in the closed
        // box, or typed whole while another one is selected. It is handled
        // once the box shows its text.
        bool chosen = code == CBN_SELENDOK || (code == CBN_SELCHANGE && !SendMessageW(from, CB_GETDROPPEDSTATE, 0, 0));
        if (code == CBN_EDITCHANGE) {
            const LRESULT typed = FindItem(from, TextOf(from));
            chosen = typed >= 0 && typed != SendMessageW(from, CB_GETCURSEL, 0, 0);
            if (chosen) SendMessageW(from, CB_SETCURSEL, WPARAM(typed), 0);
        }
        if (chosen && !selectPending_) selectPending_ = PostMessageW(form_, kSelect, 0, 0);
    } else if (from == sbRun && code == BN_CLICKED) {
        HandleEvent([this] { sbRunClick(); });
    } else if (from == cbOffset && code == BN_CLICKED && Session) {
        Session->SetOffsetCorrection(SendMessageW(cbOffset, BM_GETCHECK, 0, 0) == BST_CHECKED);
    }
}

// The box takes the text of the item that became the selection.
void TForm1::TakeChosenItem()
{
    const LRESULT i = SendMessageW(ComCBox, CB_GETCURSEL, 0, 0);
    if (i >= 0) SetText(ComCBox, ItemText(ComCBox, i));
}

bool TForm1::HandleEvent(const std::function<void()>& handler)
{
    try {
        handler();
        return true;
    } catch (const std::exception& e) {
        ShowFailure(e.what());
        return false;
    }
}

// A message box runs a modal loop; opened from inside the delivery of the
// session's events it would deliver the next ones inside it. So failures
// wait for the message loop and are shown one at a time; the same text told
// again while it waits is shown once.
void TForm1::ShowFailure(const std::string& text)
{
    if (!failures_.empty() && failures_.back() == text) return;
    failures_.push_back(text);
    if (failures_.size() == 1 && !showingFailures_) PostMessageW(form_, kFailures, 0, 0);
}

void TForm1::ShowFailures()
{
    if (showingFailures_) return;
    showingFailures_ = true;
    while (!failures_.empty()) {
        options_.ShowMessage(failures_.front());
        failures_.pop_front();
    }
    showingFailures_ = false;
}

void TForm1::SetPaths()
{
    files_ = TAppFiles::Of(options_.ExecutablePath, options_.Demo, options_.JournalDir);
    AppPath = files_.AppPath();
    IniName = files_.IniName();
}

// ---------------------------------------------------------------- start, close

void TForm1::FormCreate()
{
    SetPaths();
    const TSettings settings = files_.LoadSettings();
    SetText(cbxBaud, settings.Baud);
    SetText(cbxParity, settings.Parity);
    SetText(ComCBox, settings.Port);
    SetText(ePeriod, settings.Period);

    TSessionConfig config = files_.SessionConfig(locale_);
    config.Simulated = options_.Demo;
    Session = options_.MakeSession ? options_.MakeSession(config) : MakeCoreSession(config);
    Session->SetWakeup([form = form_] { PostMessageW(form, kDeliver, 0, 0); });
    // Once the window shows, from the message loop: the offer of a run left
    // behind comes before anything runs, the demo's run included.
    PostMessageW(form_, kStarted, 0, 0);
    Session->CreateCmd();
    std::string frames;
    for (const std::string& frame : Session->Table().FrameLines()) frames += (frames.empty() ? "" : "\n") + frame;
    SetWindowTextW(Memo2, WithCrLf(frames).c_str());
}

void TForm1::Started()
{
    HandleEvent([this] { OfferLeftJournals(); });
    if (options_.Demo) HandleEvent([this] { StartDemo(); });
}

// A run that did not end normally left its journal behind. The operator
// decides whether its whole lines come back into the pane; either way it
// becomes a complete journal, and nothing is deleted.
void TForm1::OfferLeftJournals()
{
    if (!Session) return;
    for (const TJournalInfo& journal : Session->LeftJournals()) {
        if (options_.OfferJournal(journal, JournalOfferText(journal)))
            for (const std::string& line : Session->RestoreJournal(journal)) AppendLine(Memo1, line);
        Session->FinishLeftJournal(journal);
    }
}

void TForm1::StartDemo()
{
    ComCBoxEnter();
    SendMessageW(ComCBox, CB_SETCURSEL, WPARAM(FindItem(ComCBox, TSession::kSimulatedPort)), 0);
    // A build without the simulated bus is told so by the connect.
    SetText(ComCBox, TSession::kSimulatedPort);
    ComCBoxSelect();
    EnableWindow(sbRun, TRUE);
    SendMessageW(sbRun, BM_SETCHECK, BST_CHECKED, 0);
    sbRunClick();
}

void TForm1::FormClose()
{
    // The definition and offsets lines served only the start. A close that
    // failed before has released them already.
    if (!listsReleased_ && Session) Session->ReleaseStartLists();
    listsReleased_ = true;

    SetPaths();
    TSettings settings;
    settings.Baud = TextOf(cbxBaud);
    settings.Parity = TextOf(cbxParity);
    settings.Port = TextOf(ComCBox);
    settings.Period = TextOf(ePeriod);
    // A demo's port is made up for this run: the user's settings stay.
    if (!options_.Demo) files_.SaveSettings(settings);
    // Waits for a scan in progress, which goes to the journal, and ends the
    // session's thread.
    Session.reset();
}

// --------------------------------------------------------------- port and run

void TForm1::ComCBoxEnter()
{
    if (!Session) return;
    const std::string text = TextOf(ComCBox);
    SendMessageW(ComCBox, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : Session->PortBoxItems())
        SendMessageW(ComCBox, CB_ADDSTRING, 0, LPARAM(Wide(item).c_str()));
    SendMessageW(ComCBox, CB_SETCURSEL, WPARAM(FindItem(ComCBox, text)), 0);
    SetText(ComCBox, text);
}

void TForm1::ComCBoxSelect()
{
    if (!Session) return;
    const std::string text = TextOf(ComCBox);
    if (TSession::IsDisconnectText(text)) {
        connectId_ = 0; // a connect still on its way is told, but no longer shown
        Session->Disconnect();
        SendMessageW(sbRun, BM_SETCHECK, BST_UNCHECKED, 0);
        EnableWindow(sbRun, FALSE);
        SetShapeColor(shConnect, TFormLayout::kGrey);
        return;
    }
    connectId_ = Session->Connect({text, TextOf(cbxBaud), TextOf(cbxParity)});
}

void TForm1::Connected(const TConnectResult& result)
{
    if (result.Id != connectId_) return;
    if (const std::optional<TConnectShown> shown = TFormLayout::ConnectShown(result.Kind)) {
        if (!shown->RunEnabled) SendMessageW(sbRun, BM_SETCHECK, BST_UNCHECKED, 0);
        EnableWindow(sbRun, shown->RunEnabled);
        SetShapeColor(shConnect, shown->Indicator);
    }
    if (!result.Message().empty()) ShowFailure(result.Message());
}

void TForm1::sbRunClick()
{
    if (!Session) return;
    if (SendMessageW(sbRun, BM_GETCHECK, 0, 0) == BST_CHECKED)
        runId_ = Session->Start(TextOf(ePeriod));
    else
        Session->Stop();
}

void TForm1::RunStarted(uint64_t, size_t listLines)
{
    SendMessageW(ListBox1, LB_RESETCONTENT, 0, 0);
    for (size_t i = 0; i < listLines; ++i) SendMessageW(ListBox1, LB_ADDSTRING, 0, LPARAM(L""));
    ShowTime("0");
}

void TForm1::RunStopped(uint64_t run)
{
    // The session ended the run of the latest Run press by itself.
    if (run == runId_) SendMessageW(sbRun, BM_SETCHECK, BST_UNCHECKED, 0);
}

void TForm1::TimeShown(const std::string& caption)
{
    ShowTime(caption);
}

void TForm1::ShowTime(const std::string& caption)
{
    SetText(lbTime, caption);
    const TControlEntry& entry = TFormLayout::Control("lbTime");
    const SIZE text = TextExtent(lbTime);
    Place(lbTime, TFormLayout::AutoSized(entry, {entry.X, entry.Y, entry.Width, entry.Height}, text.cx, text.cy));
}

// Each reading-list line's text, and its state for its colour.
void TForm1::ScanDone(const TScanRecord& record)
{
    AppendLine(Memo1, record.Line);
    const size_t count = size_t(SendMessageW(ListBox1, LB_GETCOUNT, 0, 0));
    const size_t lines = std::min({count, record.ListLines.size(), record.Status.size()});
    SendMessageW(ListBox1, WM_SETREDRAW, FALSE, 0);
    for (size_t i = 0; i < lines; ++i) SetStateLine(ListBox1, i, record.ListLines[i], StateOf(record.Status[i]));
    SendMessageW(ListBox1, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(ListBox1, nullptr, TRUE);
}

void TForm1::PortLost(const std::string& text)
{
    SetShapeColor(shConnect, TFormLayout::kLost);
    options_.ShowNotice(text);
}

void TForm1::PortBack(const std::string& text)
{
    SetShapeColor(shConnect, TFormLayout::kGreen);
    options_.ShowNotice(text);
}

// Each alarm raised, cleared or acknowledged, a line each, newest last and
// in view. Editing the rules is the Qt window's for now.
void TForm1::AlarmChanged(const TAlarmEvent& event)
{
    HWND notices = Control("ListBox2");
    const LRESULT line = SendMessageW(notices, LB_ADDSTRING, 0, LPARAM(Wide(event.Text).c_str()));
    SendMessageW(notices, LB_SETTOPINDEX, WPARAM(line), 0);
}

void TForm1::Failed(const std::string& text)
{
    ShowFailure(text);
}

// ------------------------------------------------------------------ log pane

void TForm1::Clear1Click()
{
    SetWindowTextW(Memo1, L"");
}

void TForm1::Selectall1Click()
{
    // The selection shows, ready for the clipboard's keys.
    SetFocus(Memo1);
    SendMessageW(Memo1, EM_SETSEL, 0, -1);
}

void TForm1::Saveas1Click()
{
    SetPaths();
    const std::string header = Session ? Session->Table().HeaderLine() : std::string();
    const bool following = Following(Memo1);
    // The header line leaves the pane on every path, a failed save included.
    struct TRemoveHeader {
        HWND Pane;
        size_t Length;
        bool Follow;
        ~TRemoveHeader() { RemoveTop(Pane, Length, Follow); }
    } removeHeader{Memo1, InsertTop(Memo1, header + "\n"), following};
    const std::optional<std::string> path = options_.AskSavePath(AppPath, "csv", lastSaveName_);
    if (!path) return;
    lastSaveName_ = *path;
    // The pane below the header line, as the scans during the dialog left it.
    const std::string text = TextOf(Memo1);
    const size_t headerBytes = std::min(text.size(), header.size() + 2);
    if (Session) Session->SaveLog(*path, std::string_view(text).substr(headerBytes));
}
