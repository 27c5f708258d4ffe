#include "gui/Form1.h"

#include "base/Clock.h"
#include "base/Errors.h"
#include "config/AppPaths.h"
#include "config/Settings.h"
#include "gui/ChartWindow.h"
#include "logfile/LogFile.h"
#include "serial/PortList.h"
#include "serial/SerialChannel.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
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
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

using namespace kelvara;

namespace {

constexpr int kListItemHeight = 17;
constexpr int kTimeRightEdge = 216; // lbTime grows to the left of this x

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}
std::string S(const QString& text)
{
    return text.toStdString();
}

QFrame* Panel(QWidget* parent, const char* name)
{
    auto* panel = new QFrame(parent);
    panel->setObjectName(name);
    panel->setFrameShape(QFrame::NoFrame);
    return panel;
}

QLabel* GreyLabel(QWidget* parent, const char* name, const QString& caption, int x, int y)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->adjustSize();
    label->move(x, y);
    return label;
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
        options_.OfferJournal = [this](const TJournalInfo& journal) {
            QMessageBox box(QMessageBox::Question, windowTitle(),
                            QString("A run that started at %1 did not end normally. Its journal holds %2 "
                                    "lines.\n\nRestore them into the log below what it shows now?")
                                .arg(Q(journal.Start))
                                .arg(journal.Lines),
                            QMessageBox::NoButton, this);
            box.setInformativeText(Q(journal.Path));
            QPushButton* restore = box.addButton("Restore", QMessageBox::AcceptRole);
            box.addButton("Leave", QMessageBox::RejectRole);
            box.exec();
            return box.clickedButton() == restore;
        };
    if (!options_.ExecSaveDialog)
        options_.ExecSaveDialog = [](QFileDialog& dialog) { return dialog.exec() == QDialog::Accepted; };
    BuildControls();
    WireEvents();
    // A failing start is shown, and the window opens all the same.
    HandleEvent([this] { FormCreate(); });
}

TForm1::~TForm1()
{
    if (ChartWindow1) ChartWindow1->SetStore(nullptr, {});
    // A window destroyed without a successful close still owns its session.
    Session.reset();
}

void TForm1::BuildControls()
{
    setWindowTitle("Kelvara");
    QFont font("Cousine");
    font.setPixelSize(15);
    setFont(font);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);
    resize(kClientWidth, kClientHeight);

    Panel2 = Panel(this, "Panel2");
    auto* formLayout = new QVBoxLayout(this);
    formLayout->setContentsMargins(0, 0, 0, 0);
    formLayout->addWidget(Panel2);

    Panel4 = Panel(Panel2, "Panel4");
    auto* panel2Layout = new QVBoxLayout(Panel2);
    panel2Layout->setContentsMargins(0, 0, 0, 0);
    panel2Layout->addWidget(Panel4);

    Memo1 = new QPlainTextEdit(Panel4);
    Memo1->setObjectName("Memo1");
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Memo1->setTabChangesFocus(true);
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    // The scan's lines are the record of the run: no undo step may take one
    // back, nor bring back the header line a save inserted and removed. A
    // pane without an undo history still takes typing.
    Memo1->setUndoRedoEnabled(false);

    ListBox1 = new QListWidget(Panel4);
    ListBox1->setObjectName("ListBox1");
    ListBox1->setFixedWidth(176);
    ListBox1->setUniformItemSizes(true);
    ListBox1->setContextMenuPolicy(Qt::NoContextMenu);

    Panel5 = new QFrame(Panel4);
    Panel5->setObjectName("Panel5");
    Panel5->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel5->setLineWidth(1);
    Panel5->setFixedWidth(260);

    auto* panel4Layout = new QHBoxLayout(Panel4);
    panel4Layout->setContentsMargins(0, 0, 0, 0);
    panel4Layout->setSpacing(0);
    panel4Layout->addWidget(Memo1, 1);
    panel4Layout->addWidget(ListBox1);
    panel4Layout->addWidget(Panel5);

    GroupBox1 = new QGroupBox("Port", Panel5);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setFixedHeight(80);

    ComCBox = new QComboBox(GroupBox1);
    ComCBox->setObjectName("ComCBox");
    ComCBox->setEditable(true);
    ComCBox->setInsertPolicy(QComboBox::NoInsert);
    ComCBox->setGeometry(95, 24, 120, 25);
    ComCBox->setEditText("PortName");

    shConnect = new TShape(GroupBox1);
    shConnect->setObjectName("shConnect");
    shConnect->setGeometry(224, 24, 6, 25);

    cbxBaud = new QComboBox(GroupBox1);
    cbxBaud->setObjectName("cbxBaud");
    cbxBaud->setEditable(true);
    cbxBaud->addItems({"9600", "19200"});
    cbxBaud->setCurrentIndex(1);
    cbxBaud->setGeometry(93, 112, 120, 25);
    cbxBaud->setVisible(false);
    cbxBaud->setEnabled(false);

    cbxParity = new QComboBox(GroupBox1);
    cbxParity->setObjectName("cbxParity");
    cbxParity->setEditable(true);
    cbxParity->addItems({"odd", "even", "no"});
    cbxParity->setCurrentIndex(1);
    cbxParity->setGeometry(93, 81, 120, 25);
    cbxParity->setVisible(false);
    cbxParity->setEnabled(false);

    GroupBox2 = new QGroupBox(" Monitor ", Panel5);
    GroupBox2->setObjectName("GroupBox2");
    GroupBox2->setFixedHeight(208);

    Label1 = GreyLabel(GroupBox2, "Label1", "Period:", 25, 35);
    ePeriod = new QLineEdit("1", GroupBox2);
    ePeriod->setObjectName("ePeriod");
    ePeriod->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ePeriod->setGeometry(94, 32, 121, 25);
    Label2 = GreyLabel(GroupBox2, "Label2", "Time:", 41, 75);
    lbTime = GreyLabel(GroupBox2, "lbTime", "-", 0, 75);
    lbTime->setAlignment(Qt::AlignRight | Qt::AlignTop);
    lbTime->move(kTimeRightEdge - lbTime->width(), 75);

    // A latching speed button: it never takes the focus.
    sbRun = new QPushButton("Run", GroupBox2);
    sbRun->setObjectName("sbRun");
    sbRun->setCheckable(true);
    sbRun->setFocusPolicy(Qt::NoFocus);
    sbRun->setGeometry(95, 114, 122, 35);
    sbRun->setEnabled(false);
    // The style's own checked look is too faint to tell a latched button.
    sbRun->setStyleSheet("QPushButton:checked { background: #c4c4c4; border: 2px inset #808080; }");

    cbOffset = new QCheckBox("offset corr", GroupBox2);
    cbOffset->setObjectName("cbOffset");
    cbOffset->setGeometry(96, 161, 121, 17);

    Panel1 = Panel(Panel5, "Panel1");
    Panel1->setFixedHeight(41);

    Memo2 = new QPlainTextEdit(Panel5);
    Memo2->setObjectName("Memo2");
    Memo2->setFixedHeight(199);
    Memo2->setReadOnly(true);
    Memo2->setEnabled(false);
    Memo2->setVisible(false);

    Memo3 = new QPlainTextEdit(Panel5);
    Memo3->setObjectName("Memo3");
    Memo3->setReadOnly(true);
    Memo3->setEnabled(false);
    Memo3->setVisible(false);
    Memo3->setPlainText(kChannelDefinitions);

    auto* columnLayout = new QVBoxLayout(Panel5);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(0);
    columnLayout->addWidget(GroupBox1);
    columnLayout->addWidget(GroupBox2);
    columnLayout->addWidget(Panel1);
    columnLayout->addWidget(Memo2);
    columnLayout->addWidget(Memo3, 1);
    columnLayout->addStretch(1);

    setTabOrder(ListBox1, Memo1);
    setTabOrder(Memo1, ePeriod);
    setTabOrder(ePeriod, cbOffset);
    setTabOrder(cbOffset, ComCBox);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(kTickMs);
    // A coarse timer may fire up to 5 % off to line up with whole seconds,
    // which leaves the second count up to half a second away from Run.
    Timer1->setTimerType(Qt::PreciseTimer);

    PopupMenu3 = new QMenu(this);
    PopupMenu3->setObjectName("PopupMenu3");
    PopupMenu3->setFont(font);
    Clear1 = PopupMenu3->addAction("Clear");
    Clear1->setObjectName("Clear1");
    Selectall1 = PopupMenu3->addAction("Select all");
    Selectall1->setObjectName("Selectall1");
    Saveas1 = PopupMenu3->addAction("Save as");
    Saveas1->setObjectName("Saveas1");
    N1 = PopupMenu3->addSeparator();
    Chart1 = PopupMenu3->addAction("Chart");
    Chart1->setObjectName("Chart1");
    // The shortcut works anywhere in the window, not only in the open menu.
    Chart1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    Chart1->setShortcutContext(Qt::WindowShortcut);
    addAction(Chart1);
}

void TForm1::WireEvents()
{
    // The port box's "enter": its line edit has the box as focus proxy, so
    // the box itself receives the focus.
    ComCBox->installEventFilter(this);
    connect(ComCBox, &QComboBox::activated, this,
            [this] { RunBetweenExchanges([this] { HandleEvent([this] { ComCBoxSelect(); }); }); });
    connect(sbRun, &QPushButton::clicked, this,
            [this] { RunBetweenExchanges([this] { HandleEvent([this] { sbRunClick(); }); }); });
    connect(Timer1, &QTimer::timeout, this, [this] { OnTick(); });
    connect(Memo1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu3->popup(Memo1->viewport()->mapToGlobal(at)); });
    connect(Clear1, &QAction::triggered, this, [this] { HandleEvent([this] { Clear1Click(); }); });
    connect(Selectall1, &QAction::triggered, this, [this] { HandleEvent([this] { Selectall1Click(); }); });
    connect(Saveas1, &QAction::triggered, this,
            [this] { RunModal([this] { HandleEvent([this] { Saveas1Click(); }); }); });
    // A window that is not modal: it may open inside a scan's hand-out.
    connect(Chart1, &QAction::triggered, this, [this] { HandleEvent([this] { Chart1Click(); }); });
}

void TForm1::HandleEvent(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        ShowFailure(QString::fromUtf8(e.what()));
    }
}

// Qt does not deliver a timer's event while that timer's own handler runs. A
// modal loop opened inside the tick handler (which is where a scan hands out
// events) would therefore stop the clock for as long as it stays open, and
// the interrupted scan would mix readings from before and after it. Such
// work waits until the tick has returned, and then runs from the event loop,
// where ticks and scans go on while it is open.
void TForm1::RunModal(std::function<void()> work)
{
    if (tickDepth_ == 0) {
        work();
        return;
    }
    pendingModal_.push_back(std::move(work));
}

void TForm1::RunBetweenExchanges(std::function<void()> work)
{
    if (Session && Session->InsideExchange()) {
        betweenExchanges_.push_back(std::move(work));
        return;
    }
    work();
}

void TForm1::RunPendingModal()
{
    std::vector<std::function<void()>> work;
    work.swap(pendingModal_);
    for (const auto& w : work) RunModal(w);
}

void TForm1::ShowFailure(const QString& text)
{
    RunModal([this, text] { options_.ShowMessage(text); });
}

TForm1::TTickScope::TTickScope(TForm1& form) : form_(form)
{
    ++form_.tickDepth_;
}

TForm1::TTickScope::~TTickScope()
{
    // A scan that ended with an error left no hand-out between channels for
    // what waited for its exchange.
    if (form_.tickDepth_ == 1 && !form_.betweenExchanges_.empty() && !form_.Scanning())
        QMetaObject::invokeMethod(
            &form_, [form = &form_] { form->ProcessMessages(); }, Qt::QueuedConnection);
    if (--form_.tickDepth_ == 0 && !form_.pendingModal_.empty())
        QMetaObject::invokeMethod(
            &form_, [form = &form_] { form->RunPendingModal(); }, Qt::QueuedConnection);
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

std::string TForm1::RunningExecutable() const
{
    return options_.ExecutablePath.empty() ? ExecutablePath() : options_.ExecutablePath;
}

void TForm1::SetPaths()
{
    AppPath = ResolveAppPath(RunningExecutable());
    IniName = IniNameOf(AppPath);
}

// ---------------------------------------------------------------- start, close

void TForm1::FormCreate()
{
    SetPaths();
    const TSettings settings = LoadSettings(IniName);
    cbxBaud->setEditText(Q(settings.Baud));
    cbxParity->setEditText(Q(settings.Parity));
    ComCBox->setEditText(Q(settings.Port));
    ePeriod->setText(Q(settings.Period));

    Session = std::make_unique<TSession>(locale_, *this);
    if (options_.Demo) {
        const std::string dev = "/dev/";
        const std::string path = Session->StartSimulatedBus(19200);
        demoPort_ = path.rfind(dev, 0) == 0 ? path.substr(dev.size()) : path;
    }

    const std::string definitions = S(Memo3->toPlainText());
    Session->CreateCmd(options_.OffsetsPath.empty() ? OffsetsSearchPath(RunningExecutable(), AppPath)
                                                    : TStringList{options_.OffsetsPath},
                       definitions);
    QStringList frames;
    for (const std::string& frame : Session->Table().frameLines) frames << Q(frame);
    Memo2->setPlainText(frames.join('\n'));
    Session->Scan().sec_count = 0;

    const std::string journals = options_.JournalDir.empty() ? JournalDirOf() : options_.JournalDir;
    Session->SetJournalDir(journals);
    if (!journals.empty()) {
        PruneJournals(journals, SystemTimeMs());
        // Once the window shows, from the event loop.
        QMetaObject::invokeMethod(
            this, [this] { RunModal([this] { HandleEvent([this] { OfferLeftJournals(); }); }); }, Qt::QueuedConnection);
    }
}

// A run that did not end normally left its journal behind. The operator
// decides whether its lines come back into the pane; either way it becomes a
// complete journal, and nothing is deleted.
void TForm1::OfferLeftJournals()
{
    if (!Session) return;
    const std::string dir = options_.JournalDir.empty() ? JournalDirOf() : options_.JournalDir;
    for (const TJournalInfo& journal : LeftJournals(dir)) {
        if (options_.OfferJournal(journal))
            for (const std::string& line : JournalLines(journal.Path)) AppendLogLine(line);
        CloseLeftJournal(journal.Path);
    }
}

void TForm1::FormClose()
{
    // The definition and offsets lines served only the start. A close that
    // failed before has released them already.
    if (!listsReleased_ && Session) {
        TStringList().swap(Session->Table().devList);
        TStringList().swap(Session->Table().offsList);
    }
    listsReleased_ = true;

    SetPaths();
    TSettings settings;
    settings.Baud = S(cbxBaud->currentText());
    settings.Parity = S(cbxParity->currentText());
    settings.Port = S(ComCBox->currentText());
    settings.Period = S(ePeriod->text());
    // A demo's port name is made up for this run: the user's settings stay.
    if (!options_.Demo) SaveSettings(IniName, settings);

    if (ChartWindow1) {
        ChartWindow1->SetStore(nullptr, {});
        ChartWindow1->close();
    }
    Session.reset();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // No tick may start a scan once the close has begun.
    if (Timer1->isActive()) resumeTimerAfterClose_ = true;
    Timer1->stop();

    if (Scanning()) {
        // The scan is handing out events between two channels and still uses
        // the table and the serial channel: close once it has returned.
        closePending_ = true;
        event->ignore();
        return;
    }
    closePending_ = false;

    bool closed = false;
    HandleEvent([&] {
        FormClose();
        closed = true;
    });
    if (closed) {
        resumeTimerAfterClose_ = false;
        event->accept();
        return;
    }
    // The close is abandoned: a run that is still going on goes on. One that
    // Run ended while the close waited for the scan stays ended.
    event->ignore();
    if (resumeTimerAfterClose_ && sbRun->isChecked() && Session) Timer1->start();
    resumeTimerAfterClose_ = false;
}

// --------------------------------------------------------------- port and run

std::string TForm1::ListComPorts()
{
    TStringList ports = options_.ExtraPorts;
    if (!demoPort_.empty()) ports.insert(ports.begin(), demoPort_);
    for (const TPortInfo& port : ListSerialPorts()) ports.push_back(port.Name);
    return JoinCommaText(ports);
}

void TForm1::ComCBoxEnter()
{
    const TStringList items = SplitCommaText("None," + ListComPorts());
    const QString text = ComCBox->currentText();
    const QSignalBlocker blocker(ComCBox);
    ComCBox->clear();
    for (const std::string& item : items) ComCBox->addItem(Q(item));
    ComCBox->setCurrentIndex(ComCBox->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive));
    ComCBox->setEditText(text);
}

void TForm1::EndRun()
{
    Timer1->stop();
    if (Session) Session->StopRun();
    sbRun->setChecked(false);
}

void TForm1::Disconnect()
{
    if (Session) Session->Close();
    EndRun();
    sbRun->setEnabled(false);
    shConnect->SetBrushColor(kGrey);
}

void TForm1::ComCBoxSelect()
{
    const QString text = ComCBox->currentText();
    if (text == "None" || text.isEmpty()) {
        Disconnect();
        return;
    }
    if (!Session) return;
    Session->Close();
    Com.Name = TSession::DevicePathOf(S(text));
    if (cbxBaud->currentText() == "Baudrate") return;
    Com.Baud = S(cbxBaud->currentText()).substr(0, TCOM::kShortText);
    if (cbxParity->currentText() == "Parity") return;
    const std::string parity = S(cbxParity->currentText()).substr(0, TCOM::kShortText);
    // An empty parity text leaves the code of the previous one in place.
    if (parity.empty() && !Com.Parity.empty())
        Com.Parity.resize(1);
    else
        Com.Parity = parity;

    const TConnectResult opened = Session->Open(Com.Name);
    if (opened.Kind != TConnectResult::Opened) {
        Disconnect();
        ShowFailure(Q(opened.Message()));
        return;
    }
    const char code = Com.Parity.empty() ? '\0' : Com.Parity[0];
    // The port stays open and Run possible when the device refuses a setting:
    // the operator may know better (a converter that ignores it), but must
    // know which one, or every reading is NAN without a word why.
    const TConnectResult configured = Session->Configure(StrToInt(Com.Baud), code);
    if (configured.Kind != TConnectResult::Opened) ShowFailure(Q(configured.Message()));
    sbRun->setEnabled(true);
    shConnect->SetBrushColor(kGreen);
}

void TForm1::sbRunClick()
{
    if (sbRun->isChecked()) {
        const uint16_t value = TSession::PeriodOf(S(ePeriod->text()));
        if (!Session) return;
        ListBox1->clear();
        Session->StartRun(value);
        ShowTrend(); // the new run's store starts empty
    } else if (Session) {
        Session->StopRun();
    }
    Timer1->setInterval(kTickMs);
    if (sbRun->isChecked())
        Timer1->start();
    else
        Timer1->stop();
}

void TForm1::Timer1Timer()
{
    const TTickScope tick(*this);
    if (!Session) return;
    // The outcomes are shown also when the scan ended with an error.
    struct TShowStatus {
        TForm1* form;
        ~TShowStatus()
        {
            form->ShowChannelStatus();
            form->ShowTrend();
        }
    } showStatus{this};
    Session->Tick();
}

QColor TForm1::StateColor(TChannelState state)
{
    switch (state) {
    case TChannelState::Silent: return QColor(255, 221, 87);
    case TChannelState::BadReply: return QColor(255, 145, 40);
    case TChannelState::OutOfRange: return QColor(225, 40, 40);
    case TChannelState::None:
    case TChannelState::Ok: break;
    }
    return QColor();
}

// Each reading-list line's colour shows how its channel's last exchange went,
// and its tooltip the detail and the counts.
void TForm1::ShowChannelStatus()
{
    if (!Session) return;
    const int lines = std::min<int>(ListBox1->count(), TChannelTable::kSlots);
    for (int i = 0; i < lines; ++i) {
        const TChannelStatus& status = Session->Scan().status[i];
        QListWidgetItem* item = ListBox1->item(i);
        item->setToolTip(Q(Session->Table().chanNames[i] + ": " + DescribeStatus(status)));
        const QColor color = StateColor(StateOf(status));
        item->setBackground(color.isValid() ? QBrush(color) : QBrush());
        item->setForeground(StateOf(status) == TChannelState::OutOfRange ? QBrush(Qt::white) : QBrush());
    }
}

// The chart only reads the store: it may redraw at the end of any tick, and a
// scan's hand-out of events may show it.
void TForm1::ShowTrend()
{
    if (ChartWindow1) ChartWindow1->StoreChanged();
}

void TForm1::OnTick()
{
    const TTickScope tick(*this);
    HandleEvent([this] { Timer1Timer(); });
    // A close that arrived while the scan handed out events runs once the
    // tick has returned, so that its message, if it fails, does not hold the
    // clock either.
    if (closePending_ && !Scanning()) RunModal([this] { close(); });
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
    const std::string header = Session ? Session->Table().headerLine : std::string();

    QTextCursor top(Memo1->document());
    top.movePosition(QTextCursor::Start);
    top.insertText(Q(header) + '\n');
    // The header line leaves the pane on every path, a failed save included.
    struct TRemoveHeader {
        TForm1* form;
        ~TRemoveHeader() { form->RemoveFirstPaneLine(); }
    } removeHeader{this};

    if (!options_.ExecSaveDialog(*SaveDialog1)) return;
    const QStringList chosen = SaveDialog1->selectedFiles();
    if (chosen.isEmpty()) return;
    lastSaveName_ = chosen.first();

    // The pane below the header line, as the ticks during the dialog left it.
    const QString text = Memo1->toPlainText();
    const qsizetype firstBreak = text.indexOf('\n');
    const QByteArray body = firstBreak < 0 ? QByteArray() : QStringView(text).sliced(firstBreak + 1).toUtf8();
    SaveLogFile(S(lastSaveName_), header, std::string_view(body.constData(), size_t(body.size())));
}

void TForm1::Chart1Click()
{
    if (!ChartWindow1) {
        TChartOptions chart;
        chart.RunModal = [this](std::function<void()> work) { RunModal(std::move(work)); };
        chart.ExecSaveDialog = options_.ExecSaveDialog;
        chart.ShowFailure = [this](const QString& text) { ShowFailure(text); };
        ChartWindow1 = new TChartWindow(locale_, std::move(chart), this);
        ChartWindow1->setFont(font());
        if (Session) ChartWindow1->SetStore(&Session->Trend(), Session->Table().chanNames);
    }
    ChartWindow1->show();
    ChartWindow1->raise();
    ChartWindow1->activateWindow();
}

// ------------------------------------------------------------- the scan's host

void TForm1::ShowTime(const std::string& caption)
{
    lbTime->setText(Q(caption));
    lbTime->adjustSize();
    lbTime->move(kTimeRightEdge - lbTime->width(), lbTime->y());
}

void TForm1::SetListLine(int index, const std::string& text)
{
    if (index >= 0 && index < ListBox1->count()) {
        ListBox1->item(index)->setText(Q(text));
        return;
    }
    if (index != ListBox1->count()) throw EStringListError(index);
    auto* item = new QListWidgetItem(Q(text));
    item->setSizeHint(QSize(0, kListItemHeight));
    ListBox1->addItem(item);
}

void TForm1::AppendLogLine(const std::string& line)
{
    // Each appended line carries its break, so the pane's text ends with one
    // and the next line starts a line of its own, after typed text too.
    QScrollBar* bar = Memo1->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    QTextDocument* document = Memo1->document();
    QAbstractTextDocumentLayout* layout = document->documentLayout();
    // A pane that follows the run scrolls by a line for each append. Told of
    // the change as it happens, it would repaint all of itself for it (the
    // last line, which changes, is in view); held quiet, it scrolls the
    // picture and paints only the lines that are new.
    std::optional<QSignalBlocker> quiet;
    if (atBottom) quiet.emplace(layout);
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    // One edit, laid out once.
    cursor.beginEditBlock();
    if (!cursor.block().text().isEmpty()) cursor.insertBlock();
    const int lineBlock = cursor.blockNumber();
    cursor.insertText(Q(line));
    cursor.insertBlock();
    cursor.endEditBlock();
    if (!atBottom) return;
    quiet.reset();
    emit layout->documentSizeChanged(layout->documentSize());
    bar->setValue(bar->maximum());
    // The scroll uncovered the last line; the new line is the one above it.
    const int top = Memo1->cursorRect(QTextCursor(document->findBlockByNumber(lineBlock))).top();
    const int bottom = Memo1->cursorRect(QTextCursor(document->lastBlock())).top();
    Memo1->viewport()->update(QRect(0, top, Memo1->viewport()->width(), bottom - top));
}

bool TForm1::OffsetCorrection()
{
    return cbOffset->isChecked();
}

void TForm1::ProcessMessages()
{
    // Between two exchanges: what waited for the last one to end runs now.
    if (!(Session && Session->InsideExchange())) {
        std::vector<std::function<void()>> work;
        work.swap(betweenExchanges_);
        for (const auto& w : work) w();
    }
    QCoreApplication::processEvents();
}

// The scan's settle time, handing out events every few milliseconds so that
// the window answers during it.
void TForm1::Sleep(int ms)
{
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - now, std::chrono::milliseconds(TSession::kWaitSliceMs)));
        QCoreApplication::processEvents();
    }
}

void TForm1::PortLost(uint32_t second, const std::string& reason)
{
    shConnect->SetBrushColor(kLost);
    const QString text =
        QString("Port \"%1\" lost at second %2: %3. It is looked for again every second while Run is down.")
            .arg(Q(Com.Name))
            .arg(second)
            .arg(Q(reason));
    shConnect->setToolTip(text);
    options_.ShowNotice(text);
}

void TForm1::PortBack(uint32_t second)
{
    shConnect->SetBrushColor(kGreen);
    const QString text = QString("Port \"%1\" back at second %2.").arg(Q(Com.Name)).arg(second);
    shConnect->setToolTip(text);
    options_.ShowNotice(text);
}

void TForm1::JournalFailed(const std::string& text)
{
    ShowFailure(Q(text));
}

void TForm1::Notice(const std::string& text)
{
    Notices << Q(text);
    ListBox1->setToolTip(Notices.mid(std::max<qsizetype>(0, Notices.size() - 7)).join('\n'));
}
