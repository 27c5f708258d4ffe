// The Win32 window under Wine, on a display of its own: its controls as the
// layout table has them, and what it sends its session and shows of what the
// session tells, through a recording session. What the session does with the
// commands is the core's, and tested there.
#include "win32/Form1.h"
#include "win32/Controls.h"

#include "base/FileIo.h"
#include "base/Win32Text.h"
#include "config/Settings.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <utility>

using namespace kelvara;
using namespace kelvara::win32;

namespace {

const char* const kLine = "0012\t20.00\t21.00\t22.00\t23.00\t24.00\t25.00\t19.50";

// Keeps each command as a line of text, and tells the window what a test
// hands it as the core's session does: through the wakeup, on the window's
// thread, when the window calls Deliver.
class TRecordingSession : public TFormSession {
public:
    TRecordingSession(std::string dir, std::vector<std::string>& log, bool simulated)
        : dir_(std::move(dir)), log_(log), ports_{"None", simulated ? "simulated" : "COM4", "COM3"}
    {
    }
    ~TRecordingSession() override { log_.push_back("end"); }

    void Tell(std::function<void(TSessionListener&)> event)
    {
        events_.push_back(std::move(event));
        wakeup_();
    }
    mutable std::string SavedText;
    std::vector<TJournalInfo> Left;
    uint64_t LastConnect = 0;

    void CreateCmd() override { table_.CreateCmd(dir_, kChannelDefinitions); }
    const TChannelTable& Table() const override { return table_; }
    void ReleaseStartLists() override { log_.push_back("release"); }
    void SetWakeup(std::function<void()> wakeup) override { wakeup_ = std::move(wakeup); }
    bool Deliver(TSessionListener& listener) override
    {
        const bool any = !events_.empty();
        for (auto& event : std::exchange(events_, {})) event(listener);
        return any;
    }
    std::vector<std::string> PortBoxItems() const override { return log_.push_back("items"), ports_; }
    uint64_t Connect(const TPortTexts& t) override
    {
        log_.push_back("connect " + t.Port + " " + t.Baud + " " + t.Parity);
        return ++LastConnect;
    }
    void Disconnect() override { log_.push_back("disconnect"); }
    uint64_t Start(const std::string& periodText) override { return log_.push_back("start " + periodText), 1; }
    void Stop() override { log_.push_back("stop"); }
    void SetOffsetCorrection(bool on) override { log_.push_back(on ? "offset on" : "offset off"); }
    void SaveLog(const std::string& path, std::string_view paneText) const override
    {
        log_.push_back("save " + path);
        SavedText = paneText;
    }
    std::vector<TJournalInfo> LeftJournals() const override { return log_.push_back("left"), Left; }
    TStringList RestoreJournal(const TJournalInfo& j) const override
    {
        log_.push_back("restore " + j.Path);
        return {kLine};
    }
    void FinishLeftJournal(const TJournalInfo& j) const override { log_.push_back("finish " + j.Path); }

private:
    std::string dir_;
    std::vector<std::string>& log_;
    std::vector<std::string> ports_;
    TChannelTable table_{TLocaleSettings::Named("C")};
    std::function<void()> wakeup_;
    std::vector<std::function<void(TSessionListener&)>> events_;
};

// Handles what waits in the thread's queue, and what that posts in turn.
void Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

std::string Plain(std::string text)
{
    std::erase(text, '\r');
    return text;
}

// What the port box tells its parent when the operator has made a choice.
void Notify(HWND box, WORD code)
{
    SendMessageW(GetParent(box), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(box), code), LPARAM(box));
    Pump();
}

class Win32FormTest : public ::testing::Test {
protected:
    void SetUp() override { dir.Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n"); }

    std::unique_ptr<TForm1> Open(bool demo = false)
    {
        TFormOptions o;
        o.ExecutablePath = dir.File("kelvara.exe");
        o.JournalDir = dir.File("runs");
        o.Demo = demo;
        o.MakeSession = [this](const TSessionConfig& config) {
            simulated = config.Simulated;
            auto s = std::make_unique<TRecordingSession>(dir.Dir(), log, config.Simulated);
            s->Left = left;
            session = s.get();
            return s;
        };
        o.ShowMessage = [this](const std::string& text) { messages.push_back(text); };
        o.ShowNotice = [this](const std::string& text) { notices.push_back(text); };
        o.OfferJournal = [this](const TJournalInfo&, const std::string& question) {
            messages.push_back(question);
            return true;
        };
        o.AskSavePath = [this](const std::string& d, const std::string& ext, const std::string& name) {
            asked.push_back(d + "|" + ext + "|" + name);
            return savePath;
        };
        auto form = std::make_unique<TForm1>(TLocaleSettings::Named("C"), std::move(o));
        ShowWindow(form->Handle(), SW_SHOW);
        Pump();
        return form;
    }

    void Tell(std::function<void(TSessionListener&)> event)
    {
        session->Tell(std::move(event));
        Pump();
    }

    static void Menu(TForm1& w, int entry)
    {
        SendMessageW(w.Handle(), WM_COMMAND, GetMenuItemID(w.PopupMenu3, entry), 0);
        Pump();
    }

    test::TTempDir dir{"kelvara-win32"};
    std::vector<std::string> log, messages, notices, asked;
    std::vector<TJournalInfo> left;
    std::optional<std::string> savePath;
    TRecordingSession* session = nullptr;
    bool simulated = false;
};

// ------------------------------------------------------------------ layout

TEST_F(Win32FormTest, EveryControlIsWhereTheTablePutsItForTheWindowsSize)
{
    auto w = Open();
    const std::vector<TControlEntry>& entries = TFormLayout::Controls();
    for (const auto& [width, height] : {std::pair{1284, 701}, std::pair{1700, 900}}) {
        w->SetClientSize(width, height);
        Pump();
        RECT client;
        GetClientRect(w->Handle(), &client);
        ASSERT_EQ(std::pair(int(client.right), int(client.bottom)), std::pair(width, height));
        const std::vector<TRect> rects = TFormLayout::Arrange(width, height);
        for (size_t i = 0; i < entries.size(); ++i) {
            const TControlEntry& s = entries[i];
            HWND c = w->Control(s.Name);
            EXPECT_EQ(GetParent(c), s.Parent.empty() ? w->Handle() : w->Control(s.Parent)) << s.Name;
            const TRect got = RectInParent(c);
            if (!s.AutoSize) {
                EXPECT_EQ(got, rects[i]) << s.Name << " at " << width;
            } else if (s.RightAnchored) {
                EXPECT_EQ(got.X + got.Width, rects[i].X + rects[i].Width) << s.Name;
            } else {
                EXPECT_EQ(std::pair(got.X, got.Y), std::pair(rects[i].X, rects[i].Y)) << s.Name;
            }
        }
        // The extra room goes to the log pane; the reading list and the
        // control column keep their widths at the right edge.
        EXPECT_EQ(RectInParent(w->Memo1), (TRect{0, 0, width - 436, height}));
        EXPECT_EQ(RectInParent(w->ListBox1), (TRect{width - 436, 0, 176, height}));
    }
}

TEST_F(Win32FormTest, EveryControlHasItsCaptionStateAndTheFont)
{
    auto w = Open();
    EXPECT_EQ(TextOf(w->Handle()), "Kelvara");
    EXPECT_EQ(FaceOf(w->Font), "Cousine");
    for (const TControlEntry& s : TFormLayout::Controls()) {
        HWND c = w->Control(s.Name);
        EXPECT_EQ(IsWindowVisible(c) != FALSE, s.Visible) << s.Name;
        EXPECT_EQ(IsWindowEnabled(c) != FALSE, s.Enabled) << s.Name;
        // The panels and the indicator show no text.
        if (s.Kind == TControlKind::Panel || s.Kind == TControlKind::Shape) continue;
        EXPECT_EQ(HFONT(SendMessageW(c, WM_GETFONT, 0, 0)), w->Font) << s.Name;
        // The start gives the port box its text and Memo2 the frames.
        if (s.Name != "ComCBox" && s.Name != "Memo2") {
            EXPECT_EQ(Plain(TextOf(c)), s.Caption) << s.Name;
        }
    }
    // The settings file's default port replaces the designed text.
    EXPECT_EQ(TextOf(w->ComCBox), "Com22");
    EXPECT_EQ(ShapeColor(w->shConnect), TFormLayout::kWhite);
    EXPECT_EQ(SendMessageW(w->ComCBox, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(Plain(TextOf(w->Memo2)).substr(0, 17), "010400040002300A\n");
    std::vector<std::string> entries;
    for (int i = 0; i < GetMenuItemCount(w->PopupMenu3); ++i) {
        wchar_t text[32] = {};
        GetMenuStringW(w->PopupMenu3, UINT(i), text, 32, MF_BYPOSITION);
        entries.push_back(NarrowUtf16(text));
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"Clear", "Select all", "Save as"}));
    EXPECT_TRUE(messages.empty());
}

TEST_F(Win32FormTest, TabFollowsTheTablesOrder)
{
    auto w = Open();
    const std::vector<std::string_view>& order = TFormLayout::TabOrder();
    SetFocus(w->Control(order[0]));
    for (size_t i = 1; i <= order.size(); ++i) {
        const std::string_view next = order[i % order.size()];
        MSG tab{GetFocus(), WM_KEYDOWN, VK_TAB, 0, 0, {}};
        EXPECT_TRUE(w->PreTranslate(tab));
        Pump();
        HWND focus = GetFocus();
        EXPECT_TRUE(focus == w->Control(next) || IsChild(w->Control(next), focus)) << next;
    }
}

// --------------------------------------------------------- to the session

TEST_F(Win32FormTest, HandlersSendTheirCommandsAndTheResultsShow)
{
    auto w = Open();
    SetFocus(w->ComCBox); // rebuilds the list, the text stays
    EXPECT_EQ(SendMessageW(w->ComCBox, CB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(TextOf(w->ComCBox), "Com22");

    SendMessageW(w->ComCBox, CB_SETCURSEL, 2, 0);
    Notify(w->ComCBox, CBN_SELENDOK);
    EXPECT_EQ(TextOf(w->ComCBox), "COM3");
    EXPECT_FALSE(IsWindowEnabled(w->sbRun)) << "not before the session tells";
    const uint64_t id = session->LastConnect;
    Tell([id](TSessionListener& l) {
        TConnectResult opened;
        opened.Kind = TConnectResult::Opened;
        opened.Id = id;
        l.Connected(opened);
    });
    EXPECT_TRUE(IsWindowEnabled(w->sbRun));
    EXPECT_EQ(ShapeColor(w->shConnect), TFormLayout::kGreen);

    SetText(w->ePeriod, "5");
    SendMessageW(w->sbRun, BM_CLICK, 0, 0);
    SendMessageW(w->cbOffset, BM_CLICK, 0, 0);
    SendMessageW(w->sbRun, BM_CLICK, 0, 0);
    // Typing an entry of the list whole chooses it.
    SetText(w->ComCBox, "None");
    Notify(w->ComCBox, CBN_EDITCHANGE);
    EXPECT_FALSE(IsWindowEnabled(w->sbRun));
    EXPECT_EQ(ShapeColor(w->shConnect), TFormLayout::kGrey);

    SetWindowTextW(w->Memo1, L"typed\r\n");
    savePath = dir.File("saved");
    Menu(*w, 2);
    EXPECT_EQ(asked, std::vector<std::string>{w->AppPath + "|csv|"});
    EXPECT_EQ(session->SavedText, "typed\r\n");
    EXPECT_EQ(TextOf(w->Memo1), "typed\r\n") << "the header line left the pane";
    Menu(*w, 2);
    EXPECT_EQ(asked.back(), w->AppPath + "|csv|" + *savePath) << "the name confirmed last";

    SendMessageW(w->Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(w->Handle()));
    const std::vector<std::string> expected = {
        "left", "items",      "connect COM3 19200 even", "start 5",           "offset on",
        "stop", "disconnect", "save " + *savePath,       "save " + *savePath, "release",
        "end"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(LoadSettings(dir.File("kelvara.ini")), (TSettings{"19200", "even", "None", "5"}));
}

// ---------------------------------------------------------- from the session

TEST_F(Win32FormTest, WhatTheSessionTellsShowsInTheControls)
{
    auto w = Open();
    Tell([](TSessionListener& l) { l.RunStarted(1, 7); });
    EXPECT_EQ(SendMessageW(w->ListBox1, LB_GETCOUNT, 0, 0), 7);
    EXPECT_EQ(TextOf(w->lbTime), "0");
    Tell([](TSessionListener& l) { l.TimeShown("12"); });
    EXPECT_EQ(TextOf(w->lbTime), "12");
    const TRect time = RectInParent(w->lbTime);
    EXPECT_EQ(time.X + time.Width, 216) << "the seconds keep their right edge";

    TScanRecord record;
    record.Line = kLine;
    record.ListLines.assign(7, "");
    const std::vector<std::pair<TExchangeOutcome, bool>> states = {{TExchangeOutcome::Ok, false},
                                                                   {TExchangeOutcome::Silent, false},
                                                                   {TExchangeOutcome::BadCrc, false},
                                                                   {TExchangeOutcome::Ok, true}};
    for (size_t i = 0; i < states.size(); ++i) {
        record.ListLines[i] = "TC_" + std::to_string(i + 1) + ": 20.00";
        record.Status[i].LastOutcome = states[i].first;
        record.Status[i].OutOfRange = states[i].second;
    }
    Tell([&record](TSessionListener& l) { l.ScanDone(record); });
    Tell([&record](TSessionListener& l) { l.ScanDone(record); });
    EXPECT_EQ(TextOf(w->Memo1), std::string(kLine) + "\r\n" + kLine + "\r\n");
    for (size_t i = 0; i < states.size(); ++i) {
        wchar_t text[64] = {};
        SendMessageW(w->ListBox1, LB_GETTEXT, i, LPARAM(text));
        EXPECT_EQ(NarrowUtf16(text), record.ListLines[i]);
        EXPECT_EQ(TChannelState(SendMessageW(w->ListBox1, LB_GETITEMDATA, i, 0)), StateOf(record.Status[i]));
    }

    Tell([](TSessionListener& l) { l.PortLost("lost"); });
    EXPECT_EQ(ShapeColor(w->shConnect), TFormLayout::kLost);
    Tell([](TSessionListener& l) { l.PortBack("back"); });
    EXPECT_EQ(ShapeColor(w->shConnect), TFormLayout::kGreen);
    EXPECT_EQ(notices, (std::vector<std::string>{"lost", "back"}));
    Tell([](TSessionListener& l) {
        l.Failed("first");
        l.Failed("first");
        l.Failed("second");
    });
    EXPECT_EQ(messages, (std::vector<std::string>{"first", "second"})) << "shown from the loop, once each";
}

TEST_F(Win32FormTest, AtStartAJournalLeftBehindIsOfferedBeforeTheDemoRuns)
{
    TJournalInfo journal;
    journal.Path = dir.File("runs/left.part");
    journal.Lines = 1;
    left = {journal};
    auto w = Open(true);
    EXPECT_TRUE(simulated);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], JournalOfferText(left[0]));
    EXPECT_EQ(TextOf(w->Memo1), std::string(kLine) + "\r\n");
    const std::vector<std::string> expected = {"left",  "restore " + left[0].Path,      "finish " + left[0].Path,
                                               "items", "connect simulated 19200 even", "start 1"};
    EXPECT_EQ(log, expected);
    SendMessageW(w->Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(PathExists(dir.File("kelvara.ini"))) << "a demo leaves the user's settings";
}

} // namespace
