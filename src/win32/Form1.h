// The operator window on plain Win32. It builds its controls from the
// window's layout table, sends the session commands from its handlers and
// shows what the session tells; the run itself goes on in the session's own
// thread, whose wakeup posts the window a message to take the events.
#pragma once

#include "acquisition/Setup.h"
#include "form/Layout.h"
#include "win32/FormOptions.h"

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

class TForm1 : public kelvara::TSessionListener {
public:
    explicit TForm1(kelvara::TLocaleSettings locale, TFormOptions options = {});
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    HWND Handle() const { return form_; }
    // Sizes the window so that its client area is width × height.
    void SetClientSize(int width, int height);
    // Keys the window handles before a control sees them (Tab and
    // Shift+Tab along the tab order); true when msg was handled.
    bool PreTranslate(const MSG& msg);
    // The control of a row of the layout table.
    HWND Control(std::string_view name) const;

    // Runs one handler as the message loop would: a failure that leaves it
    // is shown to the operator, and the window carries on. True when it
    // returned normally.
    bool HandleEvent(const std::function<void()>& handler);

    // Handlers; each raises what its work raises (HandleEvent shows it).
    void FormCreate();
    void FormClose();
    void ComCBoxEnter();
    void ComCBoxSelect();
    void sbRunClick();
    void Clear1Click();
    void Selectall1Click();
    void Saveas1Click();

    // Controls of the table, made by the constructor.
    HWND ListBox1 = nullptr, Memo1 = nullptr, Memo2 = nullptr, ComCBox = nullptr, cbxBaud = nullptr,
         cbxParity = nullptr, shConnect = nullptr, ePeriod = nullptr, lbTime = nullptr, sbRun = nullptr,
         cbOffset = nullptr;
    HMENU PopupMenu3 = nullptr;
    HFONT Font = nullptr;

    // Created by FormCreate, ended by the close that succeeds.
    std::unique_ptr<TFormSession> Session;
    std::string AppPath;
    std::string IniName;

private:
    // TSessionListener
    void RunStarted(uint64_t run, size_t listLines) override;
    void RunStopped(uint64_t run) override;
    void TimeShown(const std::string& caption) override;
    void ScanDone(const kelvara::TScanRecord& record) override;
    void Connected(const kelvara::TConnectResult& result) override;
    void PortLost(const std::string& text) override;
    void PortBack(const std::string& text) override;
    void Failed(const std::string& text) override;
    void AlarmChanged(const kelvara::TAlarmEvent& event) override;

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void Command(HWND from, WORD code, WORD id);
    void Arrange();
    void ShowFailure(const std::string& text);
    void ShowFailures();
    void Started();
    void SetPaths();
    void ShowTime(const std::string& caption);
    void TakeChosenItem();
    void OfferLeftJournals();
    void StartDemo();
    void SetDefaultHooks();
    void BuildControls();

    kelvara::TLocaleSettings locale_;
    TFormOptions options_;
    kelvara::TAppFiles files_;
    HWND form_ = nullptr;
    std::map<std::string, HWND, std::less<>> controls_;
    HWND notice_ = nullptr;
    HWND savedFocus_ = nullptr;
    bool restoringFocus_ = false;
    bool selectPending_ = false;
    bool listsReleased_ = false;
    uint64_t runId_ = 0;
    uint64_t connectId_ = 0;
    std::deque<std::string> failures_;
    bool showingFailures_ = false;
    std::string lastSaveName_;
};
