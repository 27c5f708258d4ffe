// The operator window driven as an operator would: real widgets on Qt's
// offscreen platform, the real session and its clock behind them, a
// simulated bus on a pseudo-terminal as the device. Message boxes and the
// save dialog are replaced through the window's hooks so that a test can read
// and answer them. What the session does is tested in the core; these tests
// hold the window to showing it.
#include "gui/Form1.h"
#include "gui/ChartWindow.h"
#include "sim/SimBus.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>

#include <qcustomplot.h>

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>

using namespace kelvara;
using kelvara::test::TTempDir;

namespace {

// How long a wait for the real clock may take before the test calls it a
// hang. A watchdog, not a speed limit: a loaded machine may be slow, but a
// clock that stopped never gets there.
constexpr int kHangMs = 60000;

const char* const kZeroOffsets = "0\n0\n0\n0\n0\n0\n0\n";
const char* const kHeader = "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A";

QStringList Items(const QComboBox* box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
}

QStringList Lines(const QListWidget* list)
{
    QStringList lines;
    for (int i = 0; i < list->count(); ++i) lines << list->item(i)->text();
    return lines;
}

QRect InForm(const QWidget* w, const QWidget* form)
{
    return QRect(w->mapTo(form, QPoint(0, 0)), w->size());
}

bool Wait(const std::function<bool()>& done)
{
    return QTest::qWaitFor(done, kHangMs);
}

class FormTest : public ::testing::Test {
protected:
    void SetUp() override { dir.Write("offset.txt", kZeroOffsets); }

    TFormOptions Options()
    {
        TFormOptions o;
        o.ExecutablePath = dir.File("kelvara");
        o.JournalDir = dir.File("runs");
        o.ShowMessage = [this](const QString& text) { messages << text; };
        o.ExecSaveDialog = [this](QFileDialog& dialog) { return saveDialog ? saveDialog(dialog) : false; };
        return o;
    }

    std::unique_ptr<TForm1> Open(TFormOptions o)
    {
        auto form = std::make_unique<TForm1>(TLocaleSettings::Named("C"), std::move(o));
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        return form;
    }
    std::unique_ptr<TForm1> Open() { return Open(Options()); }

    // The focus enters the port box as after a click or a Tab.
    static void EnterPortBox(TForm1& w)
    {
        w.ListBox1->setFocus(Qt::OtherFocusReason);
        w.ComCBox->setFocus(Qt::MouseFocusReason);
    }

    // Types a port name and picks it, as an operator does for a name the
    // list does not offer.
    static void ChooseTyped(TForm1& w, const QString& text)
    {
        w.ComCBox->setEditText(text);
        w.HandleEvent([&] { w.ComCBoxSelect(); });
    }

    // Connected without parity, which a pseudo-terminal cannot carry.
    std::unique_ptr<TForm1> ConnectedToSim(sim::TSimBus& bus)
    {
        bus.Start();
        auto w = Open();
        w->cbxParity->setEditText("no");
        ChooseTyped(*w, QString::fromStdString(bus.DevicePath()));
        EXPECT_TRUE(Wait([&] { return w->sbRun->isEnabled(); }));
        return w;
    }

    // The pane's log lines, without the break after the last.
    static QStringList LogLines(const TForm1& w) { return w.Memo1->toPlainText().split('\n', Qt::SkipEmptyParts); }
    static bool WaitLines(const TForm1& w, int n)
    {
        return Wait([&] { return LogLines(w).size() >= n; });
    }

    TTempDir dir{"kelvara-gui"};
    QStringList messages;
    std::function<bool(QFileDialog&)> saveDialog;
};

// ------------------------------------------------------------------- layout

TEST_F(FormTest, OpensWithTheDesignedLayoutAndInitialState)
{
    auto w = Open();
    EXPECT_EQ(w->windowTitle(), "Kelvara");
    EXPECT_EQ(w->size(), QSize(1284, 701));
    EXPECT_EQ(QFontInfo(w->font()).family(), "Cousine");
    EXPECT_EQ(w->font().pixelSize(), 15);
    EXPECT_EQ(QFontInfo(w->Memo1->font()).family(), "Cousine");

    EXPECT_EQ(InForm(w->Memo1, w.get()), QRect(0, 0, 848, 701));
    EXPECT_EQ(InForm(w->ListBox1, w.get()), QRect(848, 0, 176, 701));
    EXPECT_EQ(InForm(w->Panel5, w.get()), QRect(1024, 0, 260, 701));
    EXPECT_EQ(w->GroupBox1->geometry(), QRect(1, 1, 258, 80));
    EXPECT_EQ(w->GroupBox2->geometry(), QRect(1, 81, 258, 208));
    EXPECT_EQ(w->Panel1->geometry(), QRect(1, 289, 258, 41));
    EXPECT_EQ(w->ComCBox->geometry(), QRect(95, 24, 120, 25));
    EXPECT_EQ(w->shConnect->geometry(), QRect(224, 24, 6, 25));
    EXPECT_EQ(w->ePeriod->geometry(), QRect(94, 32, 121, 25));
    EXPECT_EQ(w->sbRun->geometry(), QRect(95, 114, 122, 35));
    EXPECT_EQ(w->cbOffset->geometry(), QRect(96, 161, 121, 17));
    EXPECT_EQ(w->lbTime->geometry().right() + 1, 216);
    EXPECT_EQ(w->GroupBox1->title(), "Port");
    EXPECT_EQ(w->GroupBox2->title(), " Monitor ");
    EXPECT_EQ(w->Label1->text(), "Period:");
    EXPECT_EQ(w->Label2->text(), "Time:");
    EXPECT_EQ(w->cbOffset->text(), "offset corr");

    EXPECT_FALSE(w->sbRun->isEnabled());
    EXPECT_FALSE(w->sbRun->isChecked());
    EXPECT_TRUE(w->sbRun->isCheckable());
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kWhite);
    EXPECT_EQ(w->lbTime->text(), "-");
    EXPECT_EQ(w->ListBox1->count(), 0);
    EXPECT_TRUE(w->Memo1->toPlainText().isEmpty());
    EXPECT_FALSE(w->cbOffset->isChecked());
    EXPECT_EQ(w->ComCBox->count(), 0);
    for (QWidget* hidden : {static_cast<QWidget*>(w->cbxBaud), static_cast<QWidget*>(w->cbxParity),
                            static_cast<QWidget*>(w->Memo2), static_cast<QWidget*>(w->Memo3)}) {
        EXPECT_FALSE(hidden->isVisible()) << hidden->objectName().toStdString();
        EXPECT_FALSE(hidden->isEnabled()) << hidden->objectName().toStdString();
    }
    EXPECT_EQ(w->Memo3->toPlainText().split('\n').size(), 7);
    EXPECT_EQ(w->Memo2->toPlainText().split('\n').first(), "010400040002300A");
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

TEST_F(FormTest, TabOrderFollowsTheDesign)
{
    auto w = Open();
    QApplication::setActiveWindow(w.get());
    w->ListBox1->setFocus(Qt::OtherFocusReason);
    const QList<QWidget*> expected = {w->Memo1, w->ePeriod, w->cbOffset, w->ComCBox};
    for (QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
    }
}

TEST_F(FormTest, ExtraRoomGoesToTheLogPaneOnly)
{
    auto w = Open();
    const QString longLine = QString("0001\t") + QString("12.34\t").repeated(40);
    w->Memo1->setPlainText(longLine);
    for (const int width : {1700, 700, 1284}) {
        w->resize(width, 900);
        QApplication::processEvents();
        EXPECT_EQ(InForm(w->Memo1, w.get()), QRect(0, 0, width - 436, 900)) << width;
        EXPECT_EQ(InForm(w->ListBox1, w.get()), QRect(width - 436, 0, 176, 900)) << width;
        EXPECT_EQ(InForm(w->Panel5, w.get()), QRect(width - 260, 0, 260, 900)) << width;
        EXPECT_EQ(w->GroupBox1->height(), 80);
        EXPECT_EQ(w->GroupBox2->height(), 208);
        EXPECT_EQ(w->Panel1->height(), 41);
        EXPECT_EQ(w->Memo1->toPlainText(), longLine);
    }
    // Wrapped, not scrolled sideways.
    EXPECT_GT(w->Memo1->document()->documentLayout()->documentSize().height(), 1.0);
    EXPECT_EQ(w->Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
}

TEST_F(FormTest, OnlyTheLogPaneHasAMenu)
{
    auto w = Open();
    QContextMenuEvent onList(QContextMenuEvent::Mouse, QPoint(10, 10), QPoint(10, 10));
    QApplication::sendEvent(w->ListBox1->viewport(), &onList);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);

    QContextMenuEvent onLog(QContextMenuEvent::Mouse, QPoint(10, 10), QPoint(10, 10));
    QApplication::sendEvent(w->Memo1->viewport(), &onLog);
    ASSERT_EQ(QApplication::activePopupWidget(), w->PopupMenu3);
    QStringList entries;
    for (QAction* a : w->PopupMenu3->actions()) entries << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(entries, QStringList({"Clear", "Select all", "Save as", "-", "Chart", QString::fromUtf8("Alarms…")}));
    w->PopupMenu3->close();

    w->Memo1->setPlainText("typed by the operator");
    w->Selectall1->trigger();
    EXPECT_EQ(w->Memo1->textCursor().selectedText(), "typed by the operator");
}

// -------------------------------------------------------------- ports, connect

TEST_F(FormTest, EnteringThePortBoxRebuildsItsListWithoutChangingItsText)
{
    auto w = Open();
    w->ComCBox->setEditText("my port");
    EnterPortBox(*w);
    const QStringList first = Items(w->ComCBox);
    ASSERT_GE(first.size(), 2);
    EXPECT_EQ(first[0], "None");
    EXPECT_EQ(w->ComCBox->currentText(), "my port");
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kWhite); // no connect
    EnterPortBox(*w);
    EXPECT_EQ(Items(w->ComCBox), first); // a stable order
}

TEST_F(FormTest, ArrowKeyInThePortBoxChoosesNone)
{
    auto w = Open();
    QApplication::setActiveWindow(w.get());
    EnterPortBox(*w);
    EXPECT_EQ(w->ComCBox->currentIndex(), -1); // "Com22" is not a listed port
    QTest::keyClick(w->ComCBox, Qt::Key_Down);
    EXPECT_EQ(w->ComCBox->currentText(), "None");
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGrey);
}

// Each way a connect can end, as the indicator, the Run button and a message
// show it; a run in progress ends only when the port could not be opened.
TEST_F(FormTest, AConnectsResultShowsInTheIndicatorRunAndAMessage)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    const QString device = QString::fromStdString(bus.DevicePath());
    struct Case {
        QString port, baud, parity;
        QColor indicator;
        bool runEnabled, runDown;
        QString message; // the start of it
    } cases[] = {
        {device, "19200", "even", TForm1::kGreen, true, true, "\"" + device + "\" refused even parity: "},
        {device, "fast", "no", TForm1::kGreen, true, true, "'fast' is not a valid integer value"},
        {device, "19200", "no", TForm1::kGreen, true, true, ""},
        {"kelvara-no-such-port", "19200", "no", TForm1::kGrey, false, false,
         "Cannot open port \"/dev/kelvara-no-such-port\". No such file or directory"},
    };
    for (const Case& c : cases) {
        messages.clear();
        w->cbxBaud->setEditText(c.baud);
        w->cbxParity->setEditText(c.parity);
        ChooseTyped(*w, c.port);
        if (!c.message.isEmpty()) {
            ASSERT_TRUE(Wait([&] { return !messages.isEmpty(); })) << c.baud.toStdString();
        }
        ASSERT_TRUE(Wait([&] { return w->shConnect->BrushColor() == c.indicator; })) << c.port.toStdString();
        EXPECT_EQ(w->sbRun->isEnabled(), c.runEnabled);
        EXPECT_EQ(w->sbRun->isChecked(), c.runDown);
        EXPECT_EQ(messages.isEmpty(), c.message.isEmpty()) << messages.join('|').toStdString();
        if (!c.message.isEmpty()) {
            EXPECT_TRUE(messages[0].startsWith(c.message)) << messages[0].toStdString();
        }
    }
}

TEST_F(FormTest, NoneAndTheEmptyEntryDisconnectAndEndARun)
{
    for (const QString& entry : {QString("None"), QString()}) {
        sim::TSimBus bus;
        auto w = ConnectedToSim(bus);
        w->sbRun->click();
        ASSERT_TRUE(WaitLines(*w, 1));
        ChooseTyped(*w, entry);
        EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGrey);
        EXPECT_FALSE(w->sbRun->isEnabled());
        EXPECT_FALSE(w->sbRun->isChecked());
        const QString log = w->Memo1->toPlainText();
        const QString time = w->lbTime->text();
        QTest::qWait(1500); // the clock has stopped
        EXPECT_EQ(w->Memo1->toPlainText(), log);
        EXPECT_EQ(w->lbTime->text(), time);
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

// --------------------------------------------------------------------- run

TEST_F(FormTest, RunAcceptsPeriodsFrom0To65535)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    struct Row {
        const char* text;
        const char* message;
    } rows[] = {
        {"0", ""},
        {"65535", ""},
        {"65536", "Range check error"},
        {"-1", "Range check error"},
        {"five", "'five' is not a valid integer value"},
    };
    for (const Row& r : rows) {
        messages.clear();
        w->lbTime->setText("-");
        w->ListBox1->clear();
        w->ePeriod->setText(r.text);
        w->sbRun->click();
        EXPECT_TRUE(w->sbRun->isChecked()) << r.text;
        if (*r.message == 0) {
            ASSERT_TRUE(Wait([&] { return w->lbTime->text() == "0"; })) << r.text;
            EXPECT_EQ(Lines(w->ListBox1), QStringList(7, QString()));
        } else {
            ASSERT_TRUE(Wait([&] { return !messages.isEmpty(); })) << r.text;
            EXPECT_EQ(messages, QStringList{r.message}) << r.text;
            EXPECT_EQ(w->lbTime->text(), "-");
        }
        w->sbRun->click(); // the button comes up and the run stops
        EXPECT_FALSE(w->sbRun->isChecked());
    }
}

TEST_F(FormTest, ARunFillsTheReadingListAndTheLog)
{
    sim::TSimBus bus;
    bus.SetFault(2, {sim::TFaultKind::Silent});
    bus.SetFault(3, {sim::TFaultKind::Exception});
    bus.SetValue(4, 60.0f); // beyond the type K table
    auto w = ConnectedToSim(bus);
    w->ePeriod->setText("2");
    w->sbRun->click();
    ASSERT_TRUE(Wait([&] { return w->lbTime->text() == "4"; }));
    ASSERT_TRUE(WaitLines(*w, 3));
    EXPECT_EQ(w->lbTime->geometry().right() + 1, 216);

    const QStringList lines = LogLines(*w);
    EXPECT_TRUE(lines[0].startsWith("0001\t"));
    EXPECT_TRUE(lines[1].startsWith("0002\t"));
    EXPECT_TRUE(lines[2].startsWith("0004\t"));
    EXPECT_TRUE(w->Memo1->toPlainText().endsWith('\n'));
    const QStringList fields = lines[2].split('\t');
    ASSERT_EQ(fields.size(), 8);
    EXPECT_EQ(fields[7], "21.50");

    const QStringList list = Lines(w->ListBox1);
    ASSERT_EQ(list.size(), 7);
    if (fields[1] != "NAN") {
        EXPECT_EQ(list[0], "TC_1: " + fields[1]);
    }
    EXPECT_EQ(list[1], ""); // a silent channel keeps its empty line
    EXPECT_EQ(list[3], "TC_4: out of range");
    EXPECT_EQ(list[6], "T__A: 21.50");
    // Each line's colour and tooltip tell how its channel's exchanges went.
    auto colour = [&](int i) { return w->ListBox1->item(i)->background().color(); };
    EXPECT_EQ(colour(1), Color(*TFormLayout::StateColor(TChannelState::Silent)));
    EXPECT_EQ(colour(2), Color(*TFormLayout::StateColor(TChannelState::BadReply)));
    EXPECT_EQ(colour(3), Color(*TFormLayout::StateColor(TChannelState::OutOfRange)));
    const QString tip = w->ListBox1->item(2)->toolTip();
    EXPECT_TRUE(tip.startsWith("TC_3: last exchange: exception 04")) << tip.toStdString();

    // Stopping keeps the log, the list and the count shown.
    w->sbRun->click();
    QTest::qWait(1500);
    EXPECT_EQ(w->lbTime->text(), "4");
    EXPECT_EQ(Lines(w->ListBox1), list);
}

TEST_F(FormTest, ClearDuringARunEmptiesThePane)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->Memo1->setPlainText("typed");
    w->sbRun->click();
    ASSERT_TRUE(WaitLines(*w, 2));
    EXPECT_TRUE(w->Memo1->toPlainText().startsWith("typed\n0001\t"));
    w->Clear1->trigger();
    EXPECT_TRUE(w->Memo1->toPlainText().isEmpty());
    ASSERT_TRUE(WaitLines(*w, 1));
    EXPECT_EQ(w->Memo1->toPlainText().count('\n'), 1);
}

// A line appended while the pane shows its end keeps the end in view,
// however the view got there; a pane scrolled back stays where it is.
TEST_F(FormTest, TheLogPaneFollowsTheRunWhileItsEndIsInView)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    for (int k = 1; k <= 200; ++k) w->Memo1->appendPlainText(QString("%1\tearlier").arg(k, 4, 10, QChar('0')));
    QScrollBar* bar = w->Memo1->verticalScrollBar();
    w->sbRun->click();
    const auto atEnd = [&] { return bar->value() == bar->maximum(); };
    QTest::keyClick(w->Memo1, Qt::Key_End, Qt::ControlModifier);
    ASSERT_TRUE(WaitLines(*w, 201));
    EXPECT_TRUE(atEnd());
    w->resize(900, 400); // smaller
    QApplication::processEvents();
    ASSERT_TRUE(WaitLines(*w, 202));
    EXPECT_TRUE(atEnd()) << bar->value() << " of " << bar->maximum();
    saveDialog = [](QFileDialog&) { return false; };
    w->Saveas1->trigger();
    ASSERT_TRUE(WaitLines(*w, 203));
    EXPECT_TRUE(atEnd()) << bar->value() << " of " << bar->maximum();
    bar->triggerAction(QAbstractSlider::SliderToMinimum); // the operator drags the bar up
    ASSERT_TRUE(WaitLines(*w, 204));
    EXPECT_EQ(bar->value(), 0);
    QTest::keyClick(w->Memo1, Qt::Key_End, Qt::ControlModifier);
    ASSERT_TRUE(WaitLines(*w, 205));
    EXPECT_TRUE(atEnd()) << bar->value() << " of " << bar->maximum();
}

// ------------------------------------------------------------------ save as

TEST_F(FormTest, SaveAsWritesTheHeaderAndThePaneWithCrLf)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    ASSERT_TRUE(WaitLines(*w, 1));
    const QString before = w->Memo1->toPlainText();

    QString shownFirstLine;
    saveDialog = [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.directory().absolutePath() + "/", QString::fromStdString(w->AppPath));
        EXPECT_EQ(dialog.defaultSuffix(), "csv");
        EXPECT_TRUE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(dialog.nameFilters(), QStringList{"All Files (*)"});
        shownFirstLine = w->Memo1->toPlainText().section('\n', 0, 0);
        // The run goes on while the dialog is open; its lines land below
        // the header and are saved too.
        EXPECT_TRUE(WaitLines(*w, 3));
        dialog.selectFile(QString::fromStdString(dir.File("run")));
        return true;
    };
    w->Saveas1->trigger();
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    EXPECT_EQ(shownFirstLine, kHeader);

    const QString after = w->Memo1->toPlainText();
    EXPECT_TRUE(after.startsWith(before)); // the header is gone again
    QString expected = QString(kHeader) + "\r\n" + after;
    expected.replace(QRegularExpression("(?<!\r)\n"), "\r\n");
    EXPECT_EQ(TTempDir::Read(dir.File("run.csv")), expected.toStdString());

    // The next save proposes the confirmed name and replaces the file unasked.
    w->sbRun->click();
    w->Clear1->trigger();
    saveDialog = [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.selectedFiles(), QStringList{QString::fromStdString(dir.File("run.csv"))});
        return true;
    };
    w->Saveas1->trigger();
    w->Memo1->clear(); // a line of the stopped run's last scan may still land
    EXPECT_EQ(TTempDir::Read(dir.File("run.csv")).substr(0, std::string(kHeader).size() + 2),
              std::string(kHeader) + "\r\n");
}

TEST_F(FormTest, SaveAsCancelledOrFailedLeavesThePaneAndTheFileAsTheyWere)
{
    auto w = Open();
    w->Memo1->setPlainText("0001\t1.00\n");
    const QString before = w->Memo1->toPlainText();

    saveDialog = [&](QFileDialog&) { return false; };
    w->Saveas1->trigger();
    EXPECT_EQ(w->Memo1->toPlainText(), before);

    const std::string missing = dir.File("no-such-dir/log.csv");
    saveDialog = [&](QFileDialog& dialog) {
        dialog.selectFile(QString::fromStdString(missing));
        return true;
    };
    w->Saveas1->trigger();
    ASSERT_TRUE(Wait([&] { return !messages.isEmpty(); }));
    EXPECT_EQ(messages[0].toStdString(), "Cannot create file \"" + missing + "\". No such file or directory");
    EXPECT_EQ(w->Memo1->toPlainText(), before);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

// Undo and redo never take back a line the scan appended, nor bring back the
// header a save removed; typing still works.
TEST_F(FormTest, UndoNeverTakesBackALoggedLine)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    QApplication::setActiveWindow(w.get());
    w->Memo1->setFocus();
    QTest::keyClicks(w->Memo1, "note ");
    w->sbRun->click();
    ASSERT_TRUE(WaitLines(*w, 3));
    w->sbRun->click();
    QTest::qWait(1500);
    saveDialog = [&](QFileDialog&) { return false; };
    w->Saveas1->trigger();
    const QString logged = w->Memo1->toPlainText();
    ASSERT_TRUE(logged.startsWith("note \n0001\t")) << logged.toStdString();
    for (const auto& key : {QKeySequence::Undo, QKeySequence::Undo, QKeySequence::Redo, QKeySequence::Undo}) {
        QTest::keySequence(w->Memo1, key);
        EXPECT_EQ(w->Memo1->toPlainText(), logged);
    }
}

// ----------------------------------------------------------- start and close

TEST_F(FormTest, FirstStartUsesTheDefaultsAndCloseWritesAllFourKeys)
{
    auto w = Open();
    EXPECT_EQ(w->AppPath, dir.Dir());
    EXPECT_EQ(w->IniName, dir.File("kelvara.ini"));
    EXPECT_EQ(w->cbxBaud->currentText(), "19200");
    EXPECT_EQ(w->cbxParity->currentText(), "even");
    EXPECT_EQ(w->ComCBox->currentText(), "Com22");
    EXPECT_EQ(w->ePeriod->text(), "1");
    EXPECT_FALSE(std::filesystem::exists(w->IniName));

    w->ComCBox->setEditText("None");
    w->ePeriod->setText("soon");
    EXPECT_TRUE(w->close());
    EXPECT_EQ(w->Session, nullptr);
    TSettings expected;
    expected.Port = "None";
    expected.Period = "soon";
    EXPECT_EQ(TAppFiles::Of(dir.File("kelvara")).LoadSettings(), expected);
}

TEST_F(FormTest, AMissingOffsetsFileIsShownAndTheWindowOpens)
{
    std::filesystem::remove(dir.File("offset.txt"));
    auto w = Open();
    ASSERT_TRUE(Wait([&] { return !messages.isEmpty(); }));
    EXPECT_TRUE(messages[0].startsWith("Cannot open file \"" + QString::fromStdString(dir.File("offset.txt"))))
        << messages[0].toStdString();
    EXPECT_TRUE(w->isVisible());
    EXPECT_NE(w->Session, nullptr);
    EXPECT_TRUE(w->Memo2->toPlainText().isEmpty());
    EXPECT_TRUE(w->close());
}

TEST_F(FormTest, AFailedSettingsWriteAbandonsTheCloseAndTheRunGoesOn)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    // A directory where the settings file should be: no write can succeed,
    // also for root.
    std::filesystem::create_directory(dir.File("kelvara.ini"));

    EXPECT_FALSE(w->close());
    ASSERT_TRUE(Wait([&] { return !messages.isEmpty(); }));
    EXPECT_EQ(messages[0].toStdString(), "Unable to write to " + dir.File("kelvara.ini"));
    EXPECT_TRUE(w->isVisible());
    ASSERT_NE(w->Session, nullptr);
    EXPECT_TRUE(w->Session->Table().DevList().empty());
    ASSERT_TRUE(WaitLines(*w, 2)); // the run goes on

    std::filesystem::remove(dir.File("kelvara.ini"));
    EXPECT_TRUE(w->close());
    EXPECT_EQ(w->Session, nullptr);
    EXPECT_EQ(messages.size(), 1);
    EXPECT_EQ(TAppFiles::Of(dir.File("kelvara")).LoadSettings().Port, bus.DevicePath());
}

// A port that goes away during a run: the indicator shows it, the operator
// is told when it went and when it came back, and Run stays down.
TEST_F(FormTest, APortLostDuringARunIsShownAndFoundAgain)
{
    sim::TSimBus bus;
    bus.Start();
    const std::string link = dir.File("bus");
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), link.c_str()), 0);
    QStringList notices;
    TFormOptions o = Options();
    o.ShowNotice = [&](const QString& text) { notices << text; };
    auto w = Open(std::move(o));
    w->cbxParity->setEditText("no");
    ChooseTyped(*w, QString::fromStdString(link));
    ASSERT_TRUE(Wait([&] { return w->sbRun->isEnabled(); }));
    w->sbRun->click();
    ASSERT_TRUE(WaitLines(*w, 1));
    std::filesystem::remove(link); // the name goes first: the pty's number may be another test's next
    bus.Stop();
    ASSERT_TRUE(Wait([&] { return w->shConnect->BrushColor() == TForm1::kLost; }));
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].startsWith(QString::fromStdString("Port \"" + link + "\" lost at second ")));
    EXPECT_EQ(w->shConnect->toolTip(), notices[0]);
    EXPECT_TRUE(w->sbRun->isChecked());

    bus.Start();
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), link.c_str()), 0);
    ASSERT_TRUE(Wait([&] { return w->shConnect->BrushColor() == TForm1::kGreen; }));
    ASSERT_EQ(notices.size(), 2);
    EXPECT_TRUE(notices[1].startsWith(QString::fromStdString("Port \"" + link + "\" back at second ")));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

// ------------------------------------------------------------------ journal

// A run that did not end normally is offered at the next start, before
// anything runs, the demo's run included: restored whole above the new
// run's lines, or left; complete (".csv") either way.
TEST_F(FormTest, AJournalLeftBehindIsOfferedBeforeAnythingRuns)
{
    for (const bool restore : {true, false}) {
        const std::string runs = dir.File(restore ? "runs1" : "runs2");
        std::filesystem::create_directories(runs + "/demo");
        const std::string part = runs + "/demo/2026-12-09T120301Z.part";
        test::WriteBytes(part, std::string(kHeader) + "\r\n0001\t1.00\t1.00\t1.00\t1.00\t1.00\t1.00\t20.00\r\n");
        QStringList offered;
        TFormOptions o = Options();
        o.Demo = true;
        o.JournalDir = runs;
        o.OfferJournal = [&](const TJournalInfo&, const QString& question) {
            offered << question;
            return restore;
        };
        auto w = Open(std::move(o));
        ASSERT_TRUE(Wait([&] { return !offered.isEmpty(); }));
        EXPECT_TRUE(offered[0].contains("did not end normally")) << offered[0].toStdString();
        ASSERT_TRUE(WaitLines(*w, restore ? 2 : 1));
        const QStringList lines = LogLines(*w);
        // The restored line above the whole of the new run.
        EXPECT_EQ(lines[0].startsWith("0001\t1.00"), restore);
        EXPECT_TRUE(lines[restore ? 1 : 0].startsWith("0001\t"));
        EXPECT_FALSE(std::filesystem::exists(part));
        EXPECT_TRUE(std::filesystem::exists(runs + "/demo/2026-12-09T120301Z.csv"));
    }
}

// The window killed at several points of a run: its journal holds whole lines
// only, one per scan from the first, and the next start restores them.
TEST_F(FormTest, AKilledWindowsJournalHoldsItsLinesWhole)
{
    const std::string kelvara = std::string(KELVARA_BIN_DIR) + "/kelvara";
    for (const size_t killAfter : {1u, 3u}) {
        const std::string state = dir.File("state" + std::to_string(killAfter));
        const std::string runs = state + "/kelvara/runs/demo";
        test::TChildProcess window;
        ASSERT_TRUE(window.Start({kelvara, "--demo"}, {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + state}));
        auto journalText = [&] {
            for (const auto& e : std::filesystem::directory_iterator(runs))
                if (e.path().extension() == ".part") return TTempDir::Read(e.path());
            return std::string();
        };
        ASSERT_TRUE(Wait([&] {
            std::error_code ec;
            if (!std::filesystem::exists(runs, ec)) return false;
            const std::string text = journalText();
            return std::count(text.begin(), text.end(), '\n') > long(killAfter);
        }));
        // Somewhere between two lines, or in the middle of one's write.
        QTest::qWait(int(killAfter) * 150);
        window.Signal(SIGKILL);
        ASSERT_TRUE(window.Wait(std::chrono::milliseconds(kHangMs)));

        const std::string text = journalText();
        ASSERT_FALSE(text.empty());
        ASSERT_EQ(text.substr(text.size() - 2), "\r\n") << "a torn line";
        const QStringList lines = QString::fromStdString(text).split("\r\n", Qt::SkipEmptyParts);
        ASSERT_GE(lines.size(), int(killAfter) + 1);
        EXPECT_EQ(lines[0], kHeader);
        for (int k = 1; k < lines.size(); ++k) {
            EXPECT_EQ(lines[k].section('\t', 0, 0), QString("%1").arg(k, 4, 10, QChar('0')));
            EXPECT_EQ(lines[k].count('\t'), 7);
        }

        TFormOptions o = Options();
        o.JournalDir = runs;
        bool offered = false;
        o.OfferJournal = [&](const TJournalInfo&, const QString&) { return offered = true; };
        auto w = Open(std::move(o));
        ASSERT_TRUE(Wait([&] { return offered; }));
        EXPECT_EQ(w->Memo1->toPlainText(), lines.mid(1).join('\n') + '\n');
    }
}

// -------------------------------------------------------------------- demo

TEST_F(FormTest, DemoModeListsChoosesAndRunsTheSimulatedBus)
{
    TFormOptions o = Options();
    o.Demo = true;
    auto w = Open(std::move(o));
    ASSERT_TRUE(WaitLines(*w, 1));
    ASSERT_GE(w->ComCBox->count(), 2);
    EXPECT_EQ(w->ComCBox->itemText(1).toStdString(), TSession::kSimulatedPort);
    EXPECT_EQ(w->ComCBox->currentText().toStdString(), TSession::kSimulatedPort);
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGreen);
    EXPECT_TRUE(w->sbRun->isChecked());
    EXPECT_TRUE(Lines(w->ListBox1).first().startsWith("TC_1: "));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    // The demo's port is made up for this run: the user's settings stay.
    EXPECT_TRUE(w->close());
    EXPECT_FALSE(std::filesystem::exists(dir.File("kelvara.ini")));
}

// ------------------------------------------------------------------- chart

// The chart is a window of its own that draws the session's trend, redrawn
// as each scan comes, closed and opened again without losing a sample, and
// emptied by a new run.
TEST_F(FormTest, TheChartFollowsTheRunAcrossCloseAndReopen)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    QApplication::setActiveWindow(w.get());
    w->Memo1->setFocus();
    QTest::keyClick(w->Memo1, Qt::Key_G, Qt::ControlModifier);
    ASSERT_NE(w->ChartWindow1, nullptr);
    TChartWindow& chart = *w->ChartWindow1;
    EXPECT_TRUE(chart.isVisible());
    EXPECT_TRUE(chart.isWindow());
    EXPECT_EQ(chart.windowModality(), Qt::NonModal);
    EXPECT_EQ(chart.Series[6]->name(), "T__A");
    const auto drawn = [&] { return int(chart.Series[0]->data()->size()); };
    w->sbRun->click();
    ASSERT_TRUE(Wait([&] { return drawn() == 2; }));
    chart.close();
    ASSERT_TRUE(WaitLines(*w, 4));
    w->Chart1->trigger();
    EXPECT_GE(drawn(), 4);

    w->sbRun->click();
    w->sbRun->click(); // a new run
    ASSERT_TRUE(Wait([&] { return drawn() == 0; }));
    ASSERT_TRUE(Wait([&] { return drawn() == 1; }));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    std::setlocale(LC_NUMERIC, "C");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
