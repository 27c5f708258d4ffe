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
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>

using namespace kelvara;

namespace {

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}
QString Q(std::string_view text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}
std::string S(const QString& text)
{
    return text.toStdString();
}

// One widget of the layout table, as this toolkit has it.
QWidget* Make(const TControlSpec& s, QWidget* parent)
{
    QWidget* w = nullptr;
    switch (s.Kind) {
    case TControlKind::Panel: {
        auto* panel = new QFrame(parent);
        panel->setFrameStyle(s.Bevel ? QFrame::Panel | QFrame::Raised : QFrame::NoFrame);
        panel->setLineWidth(s.Bevel);
        w = panel;
        break;
    }
    case TControlKind::ListBox: w = new QListWidget(parent); break;
    case TControlKind::Memo: w = new QPlainTextEdit(Q(s.Caption), parent); break;
    case TControlKind::GroupBox: w = new QGroupBox(Q(s.Caption), parent); break;
    case TControlKind::ComboBox: {
        auto* box = new QComboBox(parent);
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        for (const std::string& item : SplitCommaText(s.Items)) box->addItem(Q(item));
        box->setCurrentIndex(s.Selected);
        box->setEditText(Q(s.Caption));
        w = box;
        break;
    }
    case TControlKind::Shape: w = new TShape(parent); break;
    case TControlKind::Label: {
        auto* label = new QLabel(Q(s.Caption), parent);
        label->setForegroundRole(QPalette::PlaceholderText);
        if (s.RightAnchored) label->setAlignment(Qt::AlignRight | Qt::AlignTop);
        w = label;
        break;
    }
    case TControlKind::Edit: w = new QLineEdit(Q(s.Caption), parent); break;
    case TControlKind::Button: w = new QPushButton(Q(s.Caption), parent); break;
    case TControlKind::CheckBox: w = new QCheckBox(Q(s.Caption), parent); break;
    }
    w->setObjectName(Q(s.Name));
    w->setVisible(s.Visible);
    w->setEnabled(s.Enabled);
    return w;
}

} // namespace

TShape::TShape(QWidget* parent) : QWidget(parent) {}

void TShape::SetBrushColor(const QColor& color)
{
    brush_ = color;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), brush_);
    painter.setPen(Qt::black);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

TForm1::TForm1(TLocaleSettings locale, TFormOptions options, QWidget* parent)
    : QWidget(parent), locale_(std::move(locale)), options_(std::move(options))
{
    SetDefaultHooks();
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

void TForm1::SetDefaultHooks()
{
    if (!options_.ShowMessage)
        options_.ShowMessage = [this](const QString& text) { QMessageBox::critical(this, windowTitle(), text); };
    if (!options_.ShowNotice)
        options_.ShowNotice = [this](const QString& text) {
            // One window, kept open and added to, so that an adapter that
            // drops out again and again does not pile up windows.
            if (!noticeBox_) {
                noticeBox_ = new QMessageBox(QMessageBox::Warning, windowTitle(), QString(), QMessageBox::Ok, this);
                noticeBox_->setWindowModality(Qt::NonModal);
                noticeBox_->setAttribute(Qt::WA_DeleteOnClose);
                connect(noticeBox_, &QObject::destroyed, this, [this] { noticeBox_ = nullptr; });
            }
            noticeBox_->setText(noticeBox_->text().isEmpty() ? text : noticeBox_->text() + "\n" + text);
            noticeBox_->show();
        };
    if (!options_.OfferJournal)
        options_.OfferJournal = [this](const TJournalInfo& journal, const QString& question) {
            QMessageBox box(QMessageBox::Question, windowTitle(), question, QMessageBox::NoButton, this);
            box.setInformativeText(Q(journal.Path));
            QPushButton* restore = box.addButton("Restore", QMessageBox::AcceptRole);
            box.addButton("Leave", QMessageBox::RejectRole);
            box.exec();
            return box.clickedButton() == restore;
        };
    if (!options_.ExecSaveDialog)
        options_.ExecSaveDialog = [](QFileDialog& dialog) { return dialog.exec() == QDialog::Accepted; };
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

    for (const TControlSpec& spec : TFormLayout::Controls()) {
        const auto parent = controls_.find(spec.Parent);
        controls_[std::string(spec.Name)] = Make(spec, parent == controls_.end() ? this : parent->second);
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

    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Memo1->setTabChangesFocus(true);
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    // The scan's lines are the record of the run: no undo step may take one
    // back, nor bring back the header line a save inserted and removed. A
    // pane without an undo history still takes typing.
    Memo1->setUndoRedoEnabled(false);
    ListBox1->setUniformItemSizes(true);
    ListBox1->setContextMenuPolicy(Qt::NoContextMenu);
    ePeriod->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Memo2->setReadOnly(true);
    Memo3->setReadOnly(true);
    // A latching speed button: it never takes the focus, and its own checked
    // look is too faint to tell a latched button by.
    sbRun->setCheckable(true);
    sbRun->setFocusPolicy(Qt::NoFocus);
    sbRun->setStyleSheet("QPushButton:checked { background: #c4c4c4; border: 2px inset #808080; }");
    const std::vector<std::string_view>& tabs = TFormLayout::TabOrder();
    for (size_t i = 1; i < tabs.size(); ++i)
        setTabOrder(controls_.at(std::string(tabs[i - 1])), controls_.at(std::string(tabs[i])));

    PopupMenu3 = new QMenu(this);
    PopupMenu3->setObjectName("PopupMenu3");
    PopupMenu3->setFont(font);
    std::vector<QAction*> entries;
    for (const TMenuEntry& entry : TFormLayout::LogMenu()) {
        entries.push_back(PopupMenu3->addAction(Q(entry.Caption)));
        entries.back()->setObjectName(Q(entry.Name));
    }
    Clear1 = entries[0], Selectall1 = entries[1], Saveas1 = entries[2];
    PopupMenu3->addSeparator();
    Chart1 = PopupMenu3->addAction("Chart");
    Chart1->setObjectName("Chart1");
    // The shortcut works anywhere in the window, not only in the open menu.
    Chart1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    Chart1->setShortcutContext(Qt::WindowShortcut);
    addAction(Chart1);
    Alarms1 = PopupMenu3->addAction(Q(TFormLayout::kAlarmsEntry.Caption));
    Alarms1->setObjectName(Q(TFormLayout::kAlarmsEntry.Name));
    resize(TFormLayout::kClientWidth, TFormLayout::kClientHeight);
}

// Every control where the layout table puts it for the window's size; a
// label that sizes itself to its text keeps its anchored edge.
void TForm1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const std::vector<TRect> rects = TFormLayout::Arrange(width(), height());
    const std::vector<TControlSpec>& specs = TFormLayout::Controls();
    for (size_t i = 0; i < specs.size(); ++i) {
        QWidget* w = controls_.at(std::string(specs[i].Name));
        TRect r = rects[i];
        if (specs[i].AutoSize) r = TFormLayout::AutoSized(specs[i], r, w->sizeHint().width(), w->sizeHint().height());
        w->setGeometry(r.X, r.Y, r.Width, r.Height);
    }
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
    // The pane follows the run while the operator leaves its end in view:
    // whatever makes it longer or its view smaller (a line, a resize, the
    // header a save puts on top) keeps the end in view. Scrolled back, it
    // stays; scrolled to the end again (Ctrl+End, the scroll bar), it follows.
    // The end is in view one line short of the bar's end too, where a cursor
    // on the last, empty line leaves the view.
    QScrollBar* bar = Memo1->verticalScrollBar();
    const auto atEnd = [bar](int value) { return value >= bar->maximum() - 1; };
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int max) {
        if (followLog_) bar->setValue(max);
    });
    connect(bar, &QScrollBar::valueChanged, this, [this, atEnd](int value) {
        if (atEnd(value)) followLog_ = true;
    });
    connect(bar, &QScrollBar::actionTriggered, this,
            [this, bar, atEnd] { followLog_ = atEnd(bar->sliderPosition()); });
    // A key that moves the cursor scrolls once the cursor has moved.
    connect(Memo1, &QPlainTextEdit::cursorPositionChanged, this, [this, bar, atEnd] {
        QMetaObject::invokeMethod(
            this, [this, bar, atEnd] { followLog_ = atEnd(bar->value()); }, Qt::QueuedConnection);
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
            for (const std::string& line : Session->RestoreJournal(journal)) AppendLogLine(line);
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
    const TControlSpec& spec = TFormLayout::Control("lbTime");
    const QSize hint = lbTime->sizeHint();
    const TRect r =
        TFormLayout::AutoSized(spec, {spec.X, spec.Y, spec.Width, spec.Height}, hint.width(), hint.height());
    lbTime->setGeometry(r.X, r.Y, r.Width, r.Height);
}

void TForm1::ScanDone(const TScanRecord& record)
{
    AppendLogLine(record.Line);
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

void TForm1::AppendLogLine(const std::string& line)
{
    QTextCursor cursor(Memo1->document());
    cursor.movePosition(QTextCursor::End);
    // One edit, laid out once. Each appended line carries its break, so the
    // pane's text ends with one and the next line starts a line of its own,
    // after typed text too.
    cursor.beginEditBlock();
    if (!cursor.block().text().isEmpty()) cursor.insertBlock();
    cursor.insertText(Q(line));
    cursor.insertBlock();
    cursor.endEditBlock();
}

void TForm1::RemoveFirstPaneLine()
{
    QTextCursor cursor(Memo1->document());
    cursor.movePosition(QTextCursor::Start);
    if (!cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor))
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
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

    QTextCursor top(Memo1->document());
    top.movePosition(QTextCursor::Start);
    top.insertText(Q(header) + '\n');
    // The header line leaves the pane on every path, a failed save included.
    struct TRemoveHeader {
        TForm1* form;
        ~TRemoveHeader() { form->RemoveFirstPaneLine(); }
    } removeHeader{this};
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
