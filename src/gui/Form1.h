// The operator window on Qt. It builds its controls from the window's layout
// table, sends the session commands from its handlers and shows what the
// session tells; the run itself goes on in the session's own thread.
#pragma once

#include "acquisition/Setup.h"
#include "gui/FormOptions.h"
#include "gui/Widgets.h"

#include <QStringList>

#include <memory>

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
class QPushButton;
class TAlarmView;
class TChartWindow;

class TForm1 : public QWidget, public kelvara::TSessionListener {
    Q_OBJECT

public:
    static inline const QColor kWhite = Color(kelvara::TFormLayout::kWhite);
    static inline const QColor kGreen = Color(kelvara::TFormLayout::kGreen);
    static inline const QColor kGrey = Color(kelvara::TFormLayout::kGrey);
    static inline const QColor kLost = Color(kelvara::TFormLayout::kLost);

    explicit TForm1(kelvara::TLocaleSettings locale, TFormOptions options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // Runs one handler as the event loop would: a failure that leaves it is
    // shown to the operator, and the window carries on.
    void HandleEvent(const std::function<void()>& handler);
    // Shows failures one message box at a time, from the event loop; the
    // same text told again while it waits is shown once.
    void ShowFailure(const QString& text);

    // Handlers; each raises what its work raises (HandleEvent shows it).
    void FormCreate();
    void FormClose();
    void ComCBoxEnter();
    void ComCBoxSelect();
    void sbRunClick();
    void Clear1Click();
    void Selectall1Click();
    void Saveas1Click();
    // Shows the chart of the run beside the window (made on first use).
    void Chart1Click();
    // Edits the alarm rules, alarms.ini beside kelvara.ini.
    void Alarms1Click();

    // Controls, owned by the widget tree.
    QFrame *Panel2 = nullptr, *Panel4 = nullptr, *Panel5 = nullptr, *Panel1 = nullptr;
    QListWidget *ListBox1 = nullptr, *ListBox2 = nullptr;
    TLogPane *Memo1 = nullptr, *Memo2 = nullptr, *Memo3 = nullptr;
    QGroupBox *GroupBox1 = nullptr, *GroupBox2 = nullptr;
    QComboBox *ComCBox = nullptr, *cbxBaud = nullptr, *cbxParity = nullptr;
    TShape* shConnect = nullptr;
    QLabel *Label1 = nullptr, *Label2 = nullptr, *Label3 = nullptr, *lbTime = nullptr;
    QLineEdit* ePeriod = nullptr;
    QPushButton* sbRun = nullptr;
    QCheckBox* cbOffset = nullptr;
    QFileDialog* SaveDialog1 = nullptr;
    QMenu* PopupMenu3 = nullptr;
    QAction *Clear1 = nullptr, *Selectall1 = nullptr, *Saveas1 = nullptr, *Chart1 = nullptr, *Alarms1 = nullptr;
    TChartWindow* ChartWindow1 = nullptr;
    TAlarmView* AlarmView1 = nullptr; // the alarm notices in ListBox2

    // Created by FormCreate, ended by the close that succeeds.
    std::unique_ptr<kelvara::TSession> Session;
    std::string AppPath;
    std::string IniName;
    // The scan's out-of-range notices, newest last.
    QStringList Notices;

public slots:
    // Takes what the session has told since the last time. The session's
    // thread asks for it by name: nothing of its own crosses into Qt's queue.
    void DeliverEvents();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    // TSessionListener
    void RunStarted(uint64_t run, size_t listLines) override;
    void RunStopped(uint64_t run) override;
    void TimeShown(const std::string& caption) override;
    void ScanDone(const kelvara::TScanRecord& record) override;
    void Connected(const kelvara::TConnectResult& result) override;
    void PortLost(const std::string& text) override;
    void PortBack(const std::string& text) override;
    void Failed(const std::string& text) override;
    void Noticed(const std::string& text) override;
    void AlarmChanged(const kelvara::TAlarmEvent& event) override;

private:
    void BuildControls();
    void WireEvents();
    void SetPaths();
    void ShowTime(const QString& caption);
    void ShowChannelStatus(const kelvara::TScanRecord& record);
    void SetIndicator(const QColor& color, const QString& tip);
    void ShowTrend();
    void OfferLeftJournals();
    void StartDemo();

    kelvara::TLocaleSettings locale_;
    TFormOptions options_;
    kelvara::TAppFiles files_;
    TControls controls_;
    bool listsReleased_ = false;
    uint64_t runId_ = 0;
    uint64_t connectId_ = 0;
    QStringList failures_;
    QString lastSaveName_;
};
