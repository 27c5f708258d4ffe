#include "gui/Form1.h"

#include "gui/AlarmView.h"
#include "gui/ChartWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalBlocker>

using namespace kelvara;

TForm1::TForm1(TLocaleSettings locale, TFormOptions options, QWidget* parent)
    : QWidget(parent), locale_(std::move(locale)), options_(std::move(options))
{
    SetDefaultHooks(options_, this);
    BuildControls();
    WireEvents();
    // A failing start is shown, and the window opens all the same.
    HandleEvent([this] { FormCreate(); });
}

TForm1::~TForm1()
{
    if (ChartWindow1) ChartWindow1->SetStore({}, {});
    // A window destroyed without a successful close still ends its session.
    Session.reset();
}

void TForm1::BuildControls()
{
    setWindowTitle(Q(TFormLayout::kCaption));
    QFont font(Q(TFormLayout::kFontName));
    font.setPixelSize(TFormLayout::kFontPixels);
    setFont(font);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);

    for (const TControlEntry& entry : TFormLayout::Controls()) {
        const auto parent = controls_.find(entry.Parent);
        controls_[std::string(entry.Name)] = MakeControl(entry, parent == controls_.end() ? this : parent->second);
    }
    auto find = [this]<class W>(W*& member, const char* name) { member = static_cast<W*>(controls_.at(name)); };
    find(Panel2, "Panel2"), find(Panel4, "Panel4"), find(Panel5, "Panel5"), find(Panel1, "Panel1");
    find(ListBox1, "ListBox1"), find(Memo1, "Memo1"), find(Memo2, "Memo2"), find(Memo3, "Memo3");
    find(GroupBox1, "GroupBox1"), find(GroupBox2, "GroupBox2"), find(ComCBox, "ComCBox");
    find(cbxBaud, "cbxBaud"), find(cbxParity, "cbxParity"), find(shConnect, "shConnect");
    find(Label1, "Label1"), find(Label2, "Label2"), find(lbTime, "lbTime"), find(ePeriod, "ePeriod");
    find(sbRun, "sbRun"), find(cbOffset, "cbOffset"), find(Label3, "Label3"), find(ListBox2, "ListBox2");
    AlarmView1 = new TAlarmView(
        ListBox2, [this] { return Session.get(); }, locale_);
    FinishControls(controls_);
    const std::vector<std::string_view>& tabs = TFormLayout::TabOrder();
    for (size_t i = 1; i < tabs.size(); ++i)
        setTabOrder(controls_.at(std::string(tabs[i - 1])), controls_.at(std::string(tabs[i])));

    PopupMenu3 = MakeLogMenu(this);
    auto action = [this](const char* name) { return PopupMenu3->findChild<QAction*>(name); };
    Clear1 = action("Clear1"), Selectall1 = action("Selectall1"), Saveas1 = action("Saveas1");
    Chart1 = action("Chart1"), Alarms1 = action("Alarms1");
    // The chart's shortcut works anywhere in the window, not only in the menu.
    addAction(Chart1);
    resize(TFormLayout::kClientWidth, TFormLayout::kClientHeight);
}

void TForm1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    ArrangeControls(controls_, width(), height());
}

void TForm1::WireEvents()
{
    // The port box's "enter": its line edit has the box as focus proxy, so
    // the box itself receives the focus.
    ComCBox->installEventFilter(this);
    connect(ComCBox, &QComboBox::activated, this, [this] { HandleEvent([this] { ComCBoxSelect(); }); });
    connect(sbRun, &QPushButton::clicked, this, [this] { HandleEvent([this] { sbRunClick(); }); });
    connect(cbOffset, &QCheckBox::toggled, this, [this](bool on) {
        if (Session) Session->SetOffsetCorrection(on);
    });
    connect(Memo1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu3->popup(Memo1->viewport()->mapToGlobal(at)); });
    connect(Clear1, &QAction::triggered, this, [this] { HandleEvent([this] { Clear1Click(); }); });
    connect(Selectall1, &QAction::triggered, this, [this] { HandleEvent([this] { Selectall1Click(); }); });
    connect(Saveas1, &QAction::triggered, this, [this] { HandleEvent([this] { Saveas1Click(); }); });
    connect(Chart1, &QAction::triggered, this, [this] { HandleEvent([this] { Chart1Click(); }); });
    connect(Alarms1, &QAction::triggered, this, [this] { HandleEvent([this] { Alarms1Click(); }); });
}

void TForm1::HandleEvent(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        ShowFailure(QString::fromUtf8(e.what()));
    }
}

// A message box opens a modal loop; opened from inside the delivery of the
// session's events it would deliver the next ones inside it. So failures
// wait for the event loop, and are shown one at a time.
void TForm1::ShowFailure(const QString& text)
{
    if (!failures_.isEmpty() && failures_.last() == text) return;
    failures_ << text;
    if (failures_.size() > 1) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            while (!failures_.isEmpty()) {
                options_.ShowMessage(failures_.first());
                failures_.removeFirst();
            }
        },
        Qt::QueuedConnection);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ComCBox && event->type() == QEvent::FocusIn) {
        // The focus coming back from the box's own drop-down list, or with
        // the whole window, is not the operator entering the box.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
            HandleEvent([this] { ComCBoxEnter(); });
    }
    return QWidget::eventFilter(watched, event);
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
    cbxBaud->setEditText(Q(settings.Baud));
    cbxParity->setEditText(Q(settings.Parity));
    ComCBox->setEditText(Q(settings.Port));
    ePeriod->setText(Q(settings.Period));

    TSessionConfig config = files_.SessionConfig(locale_);
    if (!options_.OffsetsPath.empty()) config.OffsetsPaths = {options_.OffsetsPath};
    config.Simulated = options_.Demo;
    Session = std::make_unique<TSession>(config);
    Session->SetWakeup([this] { QMetaObject::invokeMethod(this, "DeliverEvents", Qt::QueuedConnection); });
    // Once the window shows, from the event loop: the offer of a run left
    // behind comes before anything runs, the demo's run included.
    QMetaObject::invokeMethod(
        this,
        [this] {
            HandleEvent([this] { OfferLeftJournals(); });
            if (options_.Demo) HandleEvent([this] { StartDemo(); });
        },
        Qt::QueuedConnection);
    Session->CreateCmd();
    QStringList frames;
    for (const std::string& frame : Session->Table().FrameLines()) frames << Q(frame);
    Memo2->setPlainText(frames.join('\n'));
}

// A run that did not end normally left its journal behind. The operator
// decides whether its whole lines come back into the pane; either way it
// becomes a complete journal, and nothing is deleted.
void TForm1::OfferLeftJournals()
{
    if (!Session) return;
    for (const TJournalInfo& journal : Session->LeftJournals()) {
        if (options_.OfferJournal(journal, Q(JournalOfferText(journal))))
            for (const std::string& line : Session->RestoreJournal(journal)) Memo1->AppendLine(Q(line));
        Session->FinishLeftJournal(journal);
    }
}

void TForm1::StartDemo()
{
    ComCBoxEnter();
    ComCBox->setCurrentIndex(ComCBox->findText(TSession::kSimulatedPort));
    ComCBoxSelect();
    sbRun->setEnabled(true);
    sbRun->setChecked(true);
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
    settings.Baud = S(cbxBaud->currentText());
    settings.Parity = S(cbxParity->currentText());
    settings.Port = S(ComCBox->currentText());
    settings.Period = S(ePeriod->text());
    // A demo's port is made up for this run: the user's settings stay.
    if (!options_.Demo) files_.SaveSettings(settings);

    if (ChartWindow1) {
        ChartWindow1->SetStore({}, {});
        ChartWindow1->close();
    }
    // Waits for a scan in progress, which goes to the journal, and ends the
    // session's thread.
    Session.reset();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    bool closed = false;
    HandleEvent([&] {
        FormClose();
        closed = true;
    });
    // A failed close is abandoned: the window stays, and so does the run.
    if (closed)
        event->accept();
    else
        event->ignore();
}

// --------------------------------------------------------------- port and run

void TForm1::ComCBoxEnter()
{
    if (!Session) return;
    const QString text = ComCBox->currentText();
    const QSignalBlocker blocker(ComCBox);
    ComCBox->clear();
    for (const std::string& item : Session->PortBoxItems()) ComCBox->addItem(Q(item));
    ComCBox->setCurrentIndex(ComCBox->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive));
    ComCBox->setEditText(text);
}

void TForm1::ComCBoxSelect()
{
    if (!Session) return;
    const std::string text = S(ComCBox->currentText());
    if (TSession::IsDisconnectText(text)) {
        connectId_ = 0; // a connect still on its way is told, but no longer shown
        Session->Disconnect();
        sbRun->setChecked(false);
        sbRun->setEnabled(false);
        SetIndicator(kGrey, QString());
        return;
    }
    connectId_ = Session->Connect({text, S(cbxBaud->currentText()), S(cbxParity->currentText())});
}

void TForm1::Connected(const TConnectResult& result)
{
    if (result.Id != connectId_) return;
    if (const std::optional<TConnectShown> shown = TFormLayout::ConnectShown(result.Kind)) {
        if (!shown->RunEnabled) sbRun->setChecked(false);
        sbRun->setEnabled(shown->RunEnabled);
        SetIndicator(Color(shown->Indicator), QString());
    }
    if (!result.Message().empty()) ShowFailure(Q(result.Message()));
}

void TForm1::sbRunClick()
{
    if (!Session) return;
    if (!sbRun->isChecked()) return Session->Stop();
    // A run that ended before this press does not bring the button up, nor
    // does a press whose period was refused (the button stays down).
    runId_ = 0;
    runId_ = Session->Start(S(ePeriod->text()));
}

void TForm1::RunStarted(uint64_t, size_t listLines)
{
    ListBox1->clear();
    for (size_t i = 0; i < listLines; ++i) {
        auto* item = new QListWidgetItem;
        item->setSizeHint(QSize(0, TFormLayout::kListItemHeight));
        ListBox1->addItem(item);
    }
    ShowTime("0");
    ShowTrend(); // the new run's store starts empty
    if (ChartWindow1) ChartWindow1->SetLimits(Session->Alarms().Rules);
}

void TForm1::RunStopped(uint64_t run)
{
    // The session ended the run of the latest Run press by itself.
    if (run == runId_) sbRun->setChecked(false);
}

void TForm1::TimeShown(const std::string& caption)
{
    ShowTime(Q(caption));
}

void TForm1::ShowTime(const QString& caption)
{
    lbTime->setText(caption);
    // Its right edge stays where the table puts it.
    const TControlEntry& entry = TFormLayout::Control("lbTime");
    const QSize hint = lbTime->sizeHint();
    const TRect r =
        TFormLayout::AutoSized(entry, {entry.X, entry.Y, entry.Width, entry.Height}, hint.width(), hint.height());
    lbTime->setGeometry(r.X, r.Y, r.Width, r.Height);
}

void TForm1::ScanDone(const TScanRecord& record)
{
    Memo1->AppendLine(Q(record.Line));
    ShowChannelStatus(record);
    AlarmView1->MarkList(ListBox1, true);
    ShowTrend();
}

// Each reading-list line's text, its colour for how its channel's last
// exchange went, and its tooltip the detail and the counts.
void TForm1::ShowChannelStatus(const TScanRecord& record)
{
    const int lines = std::min<int>(ListBox1->count(), int(record.ListLines.size()));
    for (int i = 0; i < lines; ++i) {
        QListWidgetItem* item = ListBox1->item(i);
        item->setText(Q(record.ListLines[i]));
        const TChannelStatus& status = record.Status[i];
        item->setToolTip(Q(Session->Table().ChanNames()[i] + ": " + DescribeStatus(status)));
        const std::optional<TRgb> color = TFormLayout::StateColor(StateOf(status));
        item->setBackground(color ? QBrush(Color(*color)) : QBrush());
        item->setForeground(StateOf(status) == TChannelState::OutOfRange ? QBrush(Qt::white) : QBrush());
    }
}

void TForm1::ShowTrend()
{
    if (ChartWindow1) ChartWindow1->StoreChanged();
}

void TForm1::SetIndicator(const QColor& color, const QString& tip)
{
    shConnect->SetBrushColor(color);
    shConnect->setToolTip(tip);
}

void TForm1::PortLost(const std::string& text)
{
    SetIndicator(kLost, Q(text));
    options_.ShowNotice(Q(text));
}

void TForm1::PortBack(const std::string& text)
{
    SetIndicator(kGreen, Q(text));
    options_.ShowNotice(Q(text));
}

void TForm1::Failed(const std::string& text)
{
    ShowFailure(Q(text));
}

void TForm1::Noticed(const std::string& text)
{
    Notices << Q(text);
    ListBox1->setToolTip(Notices.mid(std::max<qsizetype>(0, Notices.size() - 7)).join('\n'));
}

void TForm1::AlarmChanged(const TAlarmEvent& event)
{
    AlarmView1->Changed(event);
    AlarmView1->MarkList(ListBox1, false);
}

void TForm1::DeliverEvents()
{
    if (Session) Session->Deliver(*this);
}

// ------------------------------------------------------------------ log pane

void TForm1::Clear1Click()
{
    Memo1->clear();
}

void TForm1::Selectall1Click()
{
    Memo1->selectAll();
}

void TForm1::Saveas1Click()
{
    SetPaths();
    // Built on first use: the dialog costs a quarter of the window's start-up.
    if (!SaveDialog1) {
        SaveDialog1 = new QFileDialog(this);
        SaveDialog1->setObjectName("SaveDialog1");
        SaveDialog1->setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);
        SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
        SaveDialog1->setFileMode(QFileDialog::AnyFile);
        SaveDialog1->setWindowModality(Qt::ApplicationModal);
        SaveDialog1->setFont(font());
    }
    SaveDialog1->setDirectory(Q(AppPath));
    SaveDialog1->setDefaultSuffix("csv");
    SaveDialog1->selectFile(lastSaveName_);
    const std::string header = Session ? Session->Table().HeaderLine() : std::string();

    Memo1->InsertFirstLine(Q(header));
    // The header line leaves the pane on every path, a failed save included.
    struct TRemoveHeader {
        TLogPane* pane;
        ~TRemoveHeader() { pane->RemoveFirstLine(); }
    } removeHeader{Memo1};
    if (!options_.ExecSaveDialog(*SaveDialog1) || SaveDialog1->selectedFiles().isEmpty()) return;
    lastSaveName_ = SaveDialog1->selectedFiles().first();
    // The pane below the header line, as the scans during the dialog left it.
    const QString text = Memo1->toPlainText();
    const qsizetype firstBreak = text.indexOf('\n');
    const QByteArray body = firstBreak < 0 ? QByteArray() : QStringView(text).sliced(firstBreak + 1).toUtf8();
    if (Session) Session->SaveLog(S(lastSaveName_), std::string_view(body.constData(), size_t(body.size())));
}

void TForm1::Chart1Click()
{
    if (!ChartWindow1) {
        TChartOptions chart;
        chart.ExecSaveDialog = options_.ExecSaveDialog;
        chart.ShowFailure = [this](const QString& text) { ShowFailure(text); };
        ChartWindow1 = new TChartWindow(locale_, std::move(chart), this);
        ChartWindow1->setFont(font());
        if (Session) {
            ChartWindow1->SetStore([session = Session.get()](const auto& read) { session->ReadTrend(read); },
                                   Session->Table().ChanNames());
            ChartWindow1->SetLimits(Session->Alarms().Rules);
        }
    }
    ChartWindow1->show();
    ChartWindow1->raise();
    ChartWindow1->activateWindow();
}

void TForm1::Alarms1Click()
{
    SetPaths();
    AlarmView1->EditRules(files_.AlarmsName(), this);
}
