// The operator window. It holds the controls and binds their events to the
// handlers; the channel table, the scan, the serial channel and the settings
// rules are the core's, and the window is the scan's host.
#pragma once

#include "acquisition/Session.h"
#include "base/Text.h"
#include "logfile/Journal.h"

#include <QColor>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class TChartWindow;

namespace kelvara {
class TSerialChannel;
}

// The port settings in the form in which they were last used to connect.
// Baud and Parity keep at most their first 8 characters.
struct TCOM {
    static constexpr std::size_t kShortText = 8;

    bool Open = false;
    std::string Baud;
    std::string Parity; // its first character is the parity code
    uint32_t ToSend = 0;
    uint32_t BytesWritten = 0;
    uint32_t BytesRead = 0;
    uint32_t Received = 0;
    uint32_t Errors = 0;
    std::string Name; // the device path of the chosen port
    std::string Cfg;
};

// A filled rectangle with a one-pixel black outline: the connection indicator.
class TShape : public QWidget {
public:
    explicit TShape(QWidget* parent = nullptr);
    QColor BrushColor() const { return brush_; }
    void SetBrushColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor brush_ = Qt::white;
};

// What the window takes from its surroundings. Every member has a working
// default; tests and the demo mode replace some of them.
struct TFormOptions {
    // The executable whose directory holds kelvara.ini and offset.txt; empty
    // means the running program.
    std::string ExecutablePath;
    // The offsets file; empty means offset.txt in AppPath.
    std::string OffsetsPath;
    // Port names offered right after "None", ahead of the system's ports.
    kelvara::TStringList ExtraPorts;
    // Starts a simulated bus at the window's creation and offers its port
    // first (the demo). The user's settings file is left as it was.
    bool Demo = false;
    // Shows a failure's text to the operator; empty means a message box.
    std::function<void(const QString& text)> ShowMessage;
    // Tells the operator something that needs no answer while the run goes
    // on (a port lost and back); empty means a window that does not block.
    std::function<void(const QString& text)> ShowNotice;
    // Runs a prepared save dialog (the log's Save as, the chart's PNG)
    // modally; true when the operator confirmed a name. Empty means the
    // dialog's own exec().
    std::function<bool(QFileDialog& dialog)> ExecSaveDialog;
    // Where the runs keep their journals; empty means the user's state
    // directory ($XDG_STATE_HOME/kelvara/runs/).
    std::string JournalDir;
    // Offers the operator a journal that a run left behind (when it started,
    // how many lines); true to restore its lines into the log pane. Empty
    // means a message box that asks.
    std::function<bool(const kelvara::TJournalInfo& journal)> OfferJournal;
};

class TForm1 : public QWidget, public kelvara::TScanHost {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 1284;
    static constexpr int kClientHeight = 701;
    static constexpr int kTickMs = 1000;
    static inline const QColor kWhite{255, 255, 255};
    static inline const QColor kGreen{0, 255, 0};
    static inline const QColor kGrey{160, 160, 164};
    // The port went away during a run and is being looked for.
    static inline const QColor kLost{255, 0, 0};
    // A reading-list line's background for its channel's last scan: none for
    // a reading; a silent slave, a wrong reply and a reading out of the
    // table each in a colour that shows across a room.
    static QColor StateColor(kelvara::TChannelState state);

    explicit TForm1(kelvara::TLocaleSettings locale, TFormOptions options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // Runs one handler as the event loop would: a failure that leaves it is
    // shown to the operator, and the window carries on.
    void HandleEvent(const std::function<void()>& handler);
    // Runs work that opens a modal loop (a message box, the save dialog) now,
    // or, when it is asked for inside the tick handler (a scan hands out
    // events there), from the event loop once the tick has returned.
    void RunModal(std::function<void()> work);
    // Tells the operator text in a message box, through RunModal.
    void ShowFailure(const QString& text);
    // Runs work that closes, changes or stops the port now, or, when events
    // are being handed out inside a wait for a slave's reply, once that
    // exchange has ended.
    void RunBetweenExchanges(std::function<void()> work);

    // Handlers; each raises what its work raises (HandleEvent shows it).
    void FormCreate();
    void FormClose();
    void ComCBoxEnter();
    void ComCBoxSelect();
    void sbRunClick();
    void Timer1Timer();
    void Clear1Click();
    void Selectall1Click();
    void Saveas1Click();
    // Shows the chart of the run beside the window (made on first use).
    void Chart1Click();

    // The run counters live in the scan cycle; 0 before it exists.
    uint32_t sec_count() const { return Session ? Session->Scan().sec_count : 0; }
    uint16_t period() const { return Session ? Session->Scan().period : 0; }
    uint32_t moment() const { return Session ? Session->Scan().moment : 0; }
    bool Scanning() const { return Session && Session->Scanning(); }
    // The port name of the demo's simulated bus; empty without one.
    const std::string& DemoPort() const { return demoPort_; }
    // A close arrived during a scan and waits for the scan to return.
    bool ClosePending() const { return closePending_; }

    // Controls, owned by the widget tree.
    QFrame* Panel2 = nullptr;
    QFrame* Panel4 = nullptr;
    QListWidget* ListBox1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QFrame* Panel5 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QComboBox* ComCBox = nullptr;
    TShape* shConnect = nullptr;
    QComboBox* cbxBaud = nullptr;
    QComboBox* cbxParity = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* ePeriod = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* lbTime = nullptr;
    QPushButton* sbRun = nullptr;
    QCheckBox* cbOffset = nullptr;
    QFrame* Panel1 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QPlainTextEdit* Memo3 = nullptr;
    QTimer* Timer1 = nullptr;
    QFileDialog* SaveDialog1 = nullptr;
    QMenu* PopupMenu3 = nullptr;
    QAction* Clear1 = nullptr;
    QAction* Selectall1 = nullptr;
    QAction* Saveas1 = nullptr;
    QAction* N1 = nullptr; // the separator above Chart1
    QAction* Chart1 = nullptr;
    TChartWindow* ChartWindow1 = nullptr;

    TCOM Com;
    // Created by FormCreate, released by the close that succeeds. It holds
    // Ser; its table holds cmdList, devList and offsList; its scan cycle
    // holds sec_count, period and moment.
    std::unique_ptr<kelvara::TSession> Session;
    std::string AppPath;
    std::string IniName;
    // The scan's out-of-range notices, newest last.
    QStringList Notices;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // TScanHost
    void ShowTime(const std::string& caption) override;
    void SetListLine(int index, const std::string& text) override;
    void AppendLogLine(const std::string& line) override;
    bool OffsetCorrection() override;
    void ProcessMessages() override;
    bool HandsOutEvents() override { return true; }
    void Sleep(int ms) override;
    void Notice(const std::string& text) override;
    void PortLost(uint32_t second, const std::string& reason) override;
    void PortBack(uint32_t second) override;
    void JournalFailed(const std::string& text) override;

    void BuildControls();
    void WireEvents();
    std::string ListComPorts();
    std::string RunningExecutable() const;
    void SetPaths();
    void EndRun();
    void Disconnect();
    void OnTick();
    void RemoveFirstPaneLine();
    void ShowChannelStatus();
    void ShowTrend();
    void RunPendingModal();
    void OfferLeftJournals();

    // Counts the tick handlers in progress; modal work waits while it is not 0.
    class TTickScope {
    public:
        explicit TTickScope(TForm1& form);
        ~TTickScope();
        TTickScope(const TTickScope&) = delete;
        TTickScope& operator=(const TTickScope&) = delete;

    private:
        TForm1& form_;
    };

    kelvara::TLocaleSettings locale_;
    TFormOptions options_;
    bool listsReleased_ = false;
    bool closePending_ = false;
    bool resumeTimerAfterClose_ = false;
    QString lastSaveName_;
    std::string demoPort_;
    QMessageBox* noticeBox_ = nullptr;
    int tickDepth_ = 0;
    std::vector<std::function<void()>> pendingModal_;
    std::vector<std::function<void()>> betweenExchanges_;
};
