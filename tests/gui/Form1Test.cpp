// The operator window driven as an operator would: real widgets on Qt's
// offscreen platform, the real core behind them, a simulated bus on a
// pseudo-terminal as the device. Message boxes and the save dialog are
// replaced through the window's hooks so that a test can read and answer them.
#include "gui/Form1.h"
#include "config/Settings.h"
#include "gui/ChartWindow.h"
#include "gui/Demo.h"
#include "serial/PortList.h"
#include "serial/SerialChannel.h"
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
#include <QTest>
#include <QTimer>

#include <qcustomplot.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
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

QString PortOf(const sim::TSimBus& bus)
{
    return QString::fromStdString(bus.DevicePath()).mid(int(std::string("/dev/").size()));
}

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

    // Picks an entry of the port box's list, as a click in the opened list does.
    static void Choose(TForm1& w, const QString& text)
    {
        EnterPortBox(w);
        const int index = w.ComCBox->findText(text);
        ASSERT_GE(index, 0) << text.toStdString();
        w.ComCBox->setCurrentIndex(index);
        emit w.ComCBox->activated(index);
    }

    // Types a port name and picks it, for names that the list does not offer.
    static void ChooseTyped(TForm1& w, const QString& text)
    {
        w.ComCBox->setEditText(text);
        w.HandleEvent([&] { w.ComCBoxSelect(); });
    }

    // Connected without parity, which a pseudo-terminal cannot carry.
    std::unique_ptr<TForm1> ConnectedToSim(sim::TSimBus& bus)
    {
        bus.Start();
        TFormOptions o = Options();
        o.ExtraPorts = {PortOf(bus).toStdString()};
        auto w = Open(std::move(o));
        w->cbxParity->setEditText("no");
        Choose(*w, PortOf(bus));
        return w;
    }

    // Runs a nested event loop, as a modal dialog does, until done().
    static bool WaitInModalLoop(const std::function<bool()>& done) { return QTest::qWaitFor(done, kHangMs); }

    // Calls what() once, from inside the next scan's hand-out of events.
    static void InsideNextScan(TForm1& w, QTimer& probe, std::function<void()> what)
    {
        // A zero-interval timer runs on every pass of the event loop, the
        // scan's hand-outs of events included.
        probe.setInterval(0);
        QObject::connect(&probe, &QTimer::timeout, [&w, &probe, what] {
            if (!w.Scanning()) return;
            probe.stop();
            what();
        });
        probe.start();
    }

    static void Tick(TForm1& w)
    {
        w.HandleEvent([&] { w.Timer1Timer(); });
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
    EXPECT_FALSE(w->Timer1->isActive());
    EXPECT_EQ(w->Timer1->interval(), 1000);
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
    EXPECT_EQ(entries, QStringList({"Clear", "Select all", "Save as", "-", "Chart"}));
    w->PopupMenu3->close();

    w->Memo1->setPlainText("typed by the operator");
    w->Selectall1->trigger();
    EXPECT_EQ(w->Memo1->textCursor().selectedText(), "typed by the operator");
}

// ------------------------------------------------------------------- chart

// The chart is a window of its own that draws the session's store: opened by
// Ctrl+G inside a scan's hand-out of events, redrawn as each tick ends, closed
// and opened again from the menu without losing a sample, emptied by a new run.
TEST_F(FormTest, TheChartFollowsTheRunAcrossCloseAndReopen)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    QApplication::setActiveWindow(w.get());
    w->Memo1->setFocus();
    QTimer probe;
    InsideNextScan(*w, probe, [&] { QTest::keyClick(w->Memo1, Qt::Key_G, Qt::ControlModifier); });
    w->sbRun->click();
    Tick(*w);
    ASSERT_NE(w->ChartWindow1, nullptr);
    TChartWindow& chart = *w->ChartWindow1;
    EXPECT_TRUE(chart.isVisible());
    EXPECT_TRUE(chart.isWindow());
    EXPECT_EQ(chart.windowModality(), Qt::NonModal);
    EXPECT_EQ(chart.Series[6]->name(), "T__A");
    const auto drawn = [&] { return size_t(chart.Series[0]->data()->size()); };
    EXPECT_EQ(drawn(), 1u);
    Tick(*w);
    Tick(*w);
    EXPECT_EQ(drawn(), 3u);
    EXPECT_EQ(chart.ViewToMs(), w->Session->Trend().LastTimeMs());

    chart.close();
    Tick(*w);
    Tick(*w);
    w->Chart1->trigger();
    EXPECT_EQ(drawn(), 5u);
    EXPECT_EQ(drawn(), w->Session->Trend().Size());
    EXPECT_EQ(chart.ViewToMs(), w->Session->Trend().LastTimeMs());

    w->sbRun->click();
    w->sbRun->click(); // a new run
    EXPECT_EQ(drawn(), 0u);
    Tick(*w);
    EXPECT_EQ(drawn(), 1u);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

// The chart's save dialog is modal: asked for while a scan hands out events,
// it opens once that scan has returned, as the log's Save as does.
TEST_F(FormTest, AChartExportAskedInsideAScanWaitsForTheScan)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->Chart1->trigger();
    bool asked = false;
    bool scanningAtOpen = true;
    saveDialog = [&](QFileDialog& dialog) {
        asked = true;
        scanningAtOpen = w->Scanning();
        dialog.selectFile(QString::fromStdString(dir.File("chart.png")));
        return true;
    };
    QTimer probe;
    InsideNextScan(*w, probe, [&] { w->ChartWindow1->btnExport->click(); });
    w->sbRun->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return asked; }, kHangMs));
    EXPECT_FALSE(scanningAtOpen);
    EXPECT_EQ(TTempDir::Read(dir.File("chart.png")).substr(0, 4), "\x89PNG");
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

// -------------------------------------------------------------- ports, connect

TEST_F(FormTest, EnteringThePortBoxRebuildsItsListWithoutChangingItsText)
{
    TFormOptions o = Options();
    o.ExtraPorts = {"pts/77"};
    auto w = Open(std::move(o));
    w->ComCBox->setEditText("my port");

    QStringList system;
    for (const TPortInfo& port : ListSerialPorts()) system << QString::fromStdString(port.Name);

    EnterPortBox(*w);
    const QStringList first = Items(w->ComCBox);
    ASSERT_GE(first.size(), 2);
    EXPECT_EQ(first[0], "None");
    EXPECT_EQ(first[1], "pts/77");
    EXPECT_EQ(first.mid(2), system);
    EXPECT_EQ(w->ComCBox->currentText(), "my port");
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kWhite); // no connect
    EXPECT_FALSE(w->Session->Ser().InstanceActive());

    EnterPortBox(*w);
    EXPECT_EQ(Items(w->ComCBox), first); // a stable order
    EXPECT_EQ(w->ComCBox->currentText(), "my port");
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

TEST_F(FormTest, ConnectingToTheSimulatedBusEnablesRun)
{
    sim::TSimBus bus;
    bus.Start();
    TFormOptions o = Options();
    o.ExtraPorts = {PortOf(bus).toStdString()};
    auto w = Open(std::move(o));
    // The default even parity, which a pseudo-terminal refuses: the operator
    // is told which setting and why, once per connect, and Run stays possible.
    for (int connect = 1; connect <= 2; ++connect) {
        Choose(*w, PortOf(bus));
        EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGreen);
        EXPECT_TRUE(w->sbRun->isEnabled());
        EXPECT_FALSE(w->sbRun->isChecked());
        EXPECT_TRUE(w->Session->Ser().InstanceActive());
        EXPECT_EQ(w->Com.Name, bus.DevicePath());
        EXPECT_EQ(w->Com.Baud, "19200");
        EXPECT_EQ(w->Com.Parity, "even");
        ASSERT_EQ(messages.size(), connect);
        EXPECT_TRUE(messages.last().startsWith(
            QString("\"%1\" refused even parity: Invalid argument.").arg(QString::fromStdString(bus.DevicePath()))))
            << messages.last().toStdString();
    }
    w->cbxParity->setEditText("no");
    Choose(*w, PortOf(bus));
    EXPECT_EQ(messages.size(), 2);
    EXPECT_TRUE(w->Session->Ser().InstanceActive());
}

TEST_F(FormTest, LineSettingsComeFromTheHiddenTexts)
{
    sim::TSimBus bus;
    bus.Start();
    struct Row {
        QString baud, parity;
        std::string comBaud, comParity;
        uint32_t rate;
        uint8_t code;
    };
    const Row rows[] = {
        {"115200", "odd", "115200", "odd", 115200, ODDPARITY},
        {"9600", "no", "9600", "no", 9600, NOPARITY},
        {"0000019200", "evenings!", "00000192", "evenings", 192, EVENPARITY},
    };
    auto w = Open();
    for (const Row& r : rows) {
        w->cbxBaud->setEditText(r.baud);
        w->cbxParity->setEditText(r.parity);
        ChooseTyped(*w, PortOf(bus));
        EXPECT_EQ(w->Com.Baud, r.comBaud);
        EXPECT_EQ(w->Com.Parity, r.comParity);
        EXPECT_EQ(w->Session->Ser().DCB.BaudRate, r.rate) << r.baud.toStdString();
        EXPECT_EQ(w->Session->Ser().DCB.Parity, r.code) << r.parity.toStdString();
        EXPECT_EQ(w->Session->Ser().DCB.ByteSize, 8);
        EXPECT_EQ(w->Session->Ser().DCB.StopBits, ONESTOPBIT);
    }
}

TEST_F(FormTest, PlaceholderAndBadBaudTextsStopTheConnect)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);

    w->cbxBaud->setEditText("Baudrate");
    ChooseTyped(*w, PortOf(bus));
    EXPECT_FALSE(w->Session->Ser().InstanceActive()); // the old port was closed all the same
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGreen);
    EXPECT_TRUE(w->sbRun->isEnabled());

    w->cbxBaud->setEditText("19200");
    w->cbxParity->setEditText("Parity");
    ChooseTyped(*w, PortOf(bus));
    EXPECT_FALSE(w->Session->Ser().InstanceActive());

    w->cbxParity->setEditText("no");
    w->cbxBaud->setEditText("fast");
    ChooseTyped(*w, PortOf(bus));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], "'fast' is not a valid integer value");
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGreen);
}

TEST_F(FormTest, NoneAndTheEmptyEntryDisconnectAndEndARun)
{
    for (const QString& entry : {QString("None"), QString()}) {
        sim::TSimBus bus;
        auto w = ConnectedToSim(bus);
        w->sbRun->click();
        Tick(*w);
        ASSERT_EQ(w->Memo1->toPlainText().count('\n'), 1);
        const QString log = w->Memo1->toPlainText();
        const QStringList list = Lines(w->ListBox1);

        if (entry == "None")
            Choose(*w, entry);
        else
            ChooseTyped(*w, entry);
        EXPECT_FALSE(w->Session->Ser().InstanceActive());
        EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGrey);
        EXPECT_FALSE(w->sbRun->isEnabled());
        EXPECT_FALSE(w->sbRun->isChecked());
        EXPECT_FALSE(w->Timer1->isActive());
        EXPECT_EQ(w->sec_count(), 0u);
        EXPECT_EQ(w->Memo1->toPlainText(), log);
        EXPECT_EQ(Lines(w->ListBox1), list);
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

TEST_F(FormTest, APortThatCannotBeOpenedIsReportedAndEndsTheRun)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    ASSERT_TRUE(w->Timer1->isActive());

    ChooseTyped(*w, "kelvara-no-such-port");
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("/dev/kelvara-no-such-port")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains("No such file or directory")) << messages[0].toStdString();
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGrey);
    EXPECT_FALSE(w->sbRun->isEnabled());
    EXPECT_FALSE(w->sbRun->isChecked());
    EXPECT_FALSE(w->Timer1->isActive());
    EXPECT_EQ(w->sec_count(), 0u);
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
    w->sbRun->click();
    Tick(*w);
    bus.Stop();
    std::filesystem::remove(link);
    Tick(*w);
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kLost);
    ASSERT_EQ(notices.size(), 1);
    EXPECT_EQ(notices[0].toStdString(), "Port \"" + link +
                                            "\" lost at second 2: Input/output error. It is looked "
                                            "for again every second while Run is down.");
    Tick(*w);
    EXPECT_TRUE(w->sbRun->isChecked());
    EXPECT_TRUE(w->Timer1->isActive());

    bus.Start();
    ASSERT_EQ(symlink(bus.DevicePath().c_str(), link.c_str()), 0);
    Tick(*w);
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGreen);
    ASSERT_EQ(notices.size(), 2);
    EXPECT_EQ(notices[1].toStdString(), "Port \"" + link + "\" back at second 4.");
    EXPECT_EQ(w->Memo1->toPlainText().count('\n'), 4);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

// --------------------------------------------------------------------- run

TEST_F(FormTest, RunAcceptsPeriodsFrom0To65535)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    struct Row {
        const char* text;
        bool starts;
        const char* message;
    };
    const Row rows[] = {
        {"0", true, ""},
        {"65535", true, ""},
        {"65536", false, "Range check error"},
        {"-1", false, "Range check error"},
        {"five", false, "'five' is not a valid integer value"},
    };
    for (const Row& r : rows) {
        messages.clear();
        w->lbTime->setText("-");
        w->ePeriod->setText(r.text);
        w->sbRun->click();
        EXPECT_TRUE(w->sbRun->isChecked()) << r.text;
        EXPECT_EQ(w->Timer1->isActive(), r.starts) << r.text;
        if (r.starts) {
            EXPECT_TRUE(messages.isEmpty()) << r.text;
            EXPECT_EQ(w->period(), uint16_t(std::atoi(r.text)));
            EXPECT_EQ(w->lbTime->text(), "0");
            EXPECT_EQ(Lines(w->ListBox1), QStringList(7, QString()));
            EXPECT_EQ(w->Timer1->interval(), 1000);
        } else {
            EXPECT_EQ(messages, QStringList{r.message}) << r.text;
            EXPECT_EQ(w->lbTime->text(), "-");
        }
        w->sbRun->click(); // the button comes up and the run stops
        EXPECT_FALSE(w->sbRun->isChecked());
        EXPECT_FALSE(w->Timer1->isActive());
        EXPECT_EQ(w->sec_count(), 0u);
    }
}

TEST_F(FormTest, ARunFillsTheReadingListAndTheLog)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->ePeriod->setText("2");
    w->sbRun->click();
    for (int i = 0; i < 4; ++i) Tick(*w);
    EXPECT_EQ(w->lbTime->text(), "4");
    EXPECT_EQ(w->lbTime->geometry().right() + 1, 216);

    const QStringList lines = w->Memo1->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 4) << w->Memo1->toPlainText().toStdString(); // three lines and the break after the last
    EXPECT_TRUE(lines[0].startsWith("0001\t"));
    EXPECT_TRUE(lines[1].startsWith("0002\t"));
    EXPECT_TRUE(lines[2].startsWith("0004\t"));
    EXPECT_EQ(lines[3], "");
    const QStringList fields = lines[2].split('\t');
    ASSERT_EQ(fields.size(), 8);
    EXPECT_EQ(fields[7], "21.50");
    // A reply that misses its 25 ms on a loaded machine reads NAN; every
    // column must still show a reading in one of the three scans.
    for (int i = 1; i <= 6; ++i) {
        bool reading = false;
        for (int k = 0; k < 3; ++k) reading = reading || lines[k].split('\t').value(i) != "NAN";
        EXPECT_TRUE(reading) << i;
    }

    const QStringList list = Lines(w->ListBox1);
    ASSERT_EQ(list.size(), 7);
    if (fields[1] != "NAN") {
        EXPECT_EQ(list[0], "TC_1: " + fields[1]);
    }
    EXPECT_EQ(list[6], "T__A: 21.50");
    // Each line's tooltip tells how its channel's exchanges went.
    const QString tip = w->ListBox1->item(0)->toolTip();
    EXPECT_TRUE(tip.startsWith("TC_1: last exchange: ")) << tip.toStdString();
    EXPECT_TRUE(tip.contains(QRegularExpression("; ok [123]"))) << tip.toStdString();

    // Stopping keeps the log, the list and the count shown.
    w->sbRun->click();
    EXPECT_EQ(w->lbTime->text(), "4");
    EXPECT_EQ(Lines(w->ListBox1), list);
    EXPECT_EQ(w->Memo1->toPlainText().split('\n').size(), 4);
}

// Each reading-list line shows its channel's last outcome in its colour;
// the texts stay as they are.
TEST_F(FormTest, TheReadingListShowsEachChannelsState)
{
    sim::TSimBus bus;
    bus.SetFault(2, {sim::TFaultKind::Silent});
    bus.SetFault(3, {sim::TFaultKind::Exception});
    bus.SetFault(5, {sim::TFaultKind::BadCrc});
    bus.SetValue(4, 60.0f); // beyond the type K table
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    Tick(*w);
    const TChannelState expected[7] = {TChannelState::Ok,         TChannelState::Silent,   TChannelState::BadReply,
                                       TChannelState::OutOfRange, TChannelState::BadReply, TChannelState::Ok,
                                       TChannelState::Ok};
    ASSERT_EQ(w->ListBox1->count(), 7);
    for (int i = 0; i < 7; ++i) {
        const TChannelStatus& status = w->Session->Scan().status[i];
        // A reply that misses its window on a loaded machine reads silent.
        if (expected[i] != TChannelState::OutOfRange && status.LastOutcome == TExchangeOutcome::Silent) continue;
        EXPECT_EQ(StateOf(status), expected[i]) << i;
        const QColor color = TForm1::StateColor(expected[i]);
        EXPECT_EQ(w->ListBox1->item(i)->background().color(), color.isValid() ? color : QColor(Qt::black)) << i;
    }
    EXPECT_EQ(w->ListBox1->item(3)->text(), "TC_4: out of range");
    EXPECT_EQ(w->ListBox1->item(1)->text(), "");
    // Distinct colours for distinct troubles.
    EXPECT_NE(TForm1::StateColor(TChannelState::Silent), TForm1::StateColor(TChannelState::BadReply));
    EXPECT_NE(TForm1::StateColor(TChannelState::BadReply), TForm1::StateColor(TChannelState::OutOfRange));
}

TEST_F(FormTest, TheClockDrivesTheRun)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->Memo1->toPlainText().isEmpty(); }, kHangMs));
    EXPECT_TRUE(w->Memo1->toPlainText().startsWith("0001\t"));
}

TEST_F(FormTest, ClearDuringARunEmptiesThePane)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->Memo1->setPlainText("typed");
    w->sbRun->click();
    Tick(*w);
    EXPECT_TRUE(w->Memo1->toPlainText().startsWith("typed\n0001\t"));
    w->Clear1->trigger();
    EXPECT_TRUE(w->Memo1->toPlainText().isEmpty());
    Tick(*w);
    EXPECT_TRUE(w->Memo1->toPlainText().startsWith("0002\t"));
    EXPECT_EQ(w->Memo1->toPlainText().count('\n'), 1);
}

// ------------------------------------------------------------------ save as

TEST_F(FormTest, SaveAsWritesTheHeaderAndThePaneWithCrLf)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    Tick(*w);
    const QString before = w->Memo1->toPlainText();

    QString shownFirstLine;
    saveDialog = [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.directory().absolutePath() + "/", QString::fromStdString(w->AppPath));
        EXPECT_EQ(dialog.defaultSuffix(), "csv");
        EXPECT_TRUE(dialog.testOption(QFileDialog::DontUseNativeDialog));
        EXPECT_TRUE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(dialog.nameFilters(), QStringList{"All Files (*)"});
        shownFirstLine = w->Memo1->toPlainText().section('\n', 0, 0);
        // The run goes on while the dialog is open; its line is saved too.
        Tick(*w);
        dialog.selectFile(QString::fromStdString(dir.File("run")));
        return true;
    };
    w->Saveas1->trigger();
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    EXPECT_EQ(shownFirstLine, kHeader);

    const QString after = w->Memo1->toPlainText();
    EXPECT_TRUE(after.startsWith(before)); // the header is gone again
    ASSERT_EQ(after.count('\n'), 2);
    QString expected = QString(kHeader) + "\r\n" + after;
    expected.replace(QRegularExpression("(?<!\r)\n"), "\r\n");
    EXPECT_EQ(TTempDir::Read(dir.File("run.csv")), expected.toStdString());

    // The next save proposes the confirmed name and replaces the file unasked.
    w->Clear1->trigger();
    saveDialog = [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.selectedFiles(), QStringList{QString::fromStdString(dir.File("run.csv"))});
        return true;
    };
    w->Saveas1->trigger();
    EXPECT_EQ(TTempDir::Read(dir.File("run.csv")), std::string(kHeader) + "\r\n");
    EXPECT_TRUE(w->Memo1->toPlainText().isEmpty());
}

TEST_F(FormTest, SaveAsCancelledOrFailedLeavesThePaneAsItWas)
{
    auto w = Open();
    w->Memo1->setPlainText("0001\t1.00\n");
    const QString before = w->Memo1->toPlainText();

    saveDialog = [&](QFileDialog&) { return false; };
    w->Saveas1->trigger();
    EXPECT_EQ(w->Memo1->toPlainText(), before);
    EXPECT_TRUE(messages.isEmpty());

    const std::string missing = dir.File("no-such-dir/log.csv");
    saveDialog = [&](QFileDialog& dialog) {
        dialog.selectFile(QString::fromStdString(missing));
        return true;
    };
    w->Saveas1->trigger();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].toStdString(), "Cannot create file \"" + missing + "\". No such file or directory");
    EXPECT_EQ(w->Memo1->toPlainText(), before);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

// A Save as asked for while a scan hands out events opens its dialog only
// after that scan has returned, so that the real clock goes on ticking while
// the dialog is open, and the lines of those ticks land below the header.
TEST_F(FormTest, SaveAsAskedForInsideAScanLeavesTheClockRunning)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    bool scanningAtOpen = true;
    uint32_t countAtOpen = 0;
    QString paneAtClose;
    saveDialog = [&](QFileDialog& dialog) {
        scanningAtOpen = w->Scanning();
        countAtOpen = w->sec_count();
        EXPECT_TRUE(WaitInModalLoop([&] { return w->sec_count() >= countAtOpen + 2; }))
            << "the clock stood still while the dialog was open";
        paneAtClose = w->Memo1->toPlainText();
        dialog.selectFile(QString::fromStdString(dir.File("run.csv")));
        return true;
    };
    QTimer probe;
    InsideNextScan(*w, probe, [&] { w->Saveas1->trigger(); });
    w->sbRun->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !paneAtClose.isEmpty(); }, kHangMs));
    EXPECT_FALSE(scanningAtOpen);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();

    // Header first, then one line per second of the run, none missing.
    const QStringList lines = paneAtClose.split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 4);
    EXPECT_EQ(lines[0], kHeader);
    for (int k = 1; k < lines.size(); ++k)
        EXPECT_EQ(lines[k].section('\t', 0, 0), QString("%1").arg(k, 4, 10, QChar('0')));
    const std::string saved = TTempDir::Read(dir.File("run.csv"));
    EXPECT_EQ(saved.substr(0, saved.find("\r\n")), kHeader);
    EXPECT_FALSE(w->Memo1->toPlainText().startsWith("time"));
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
    for (int i = 0; i < 5; ++i) Tick(*w);
    saveDialog = [&](QFileDialog&) { return false; };
    w->Saveas1->trigger();
    const QString logged = w->Memo1->toPlainText();
    ASSERT_EQ(logged.count(QChar(10)), 6);
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
    EXPECT_EQ(LoadSettings(dir.File("kelvara.ini")), expected);
}

TEST_F(FormTest, ASettingsFileWithOnlyThePort)
{
    dir.Write("kelvara.ini", "[Serial]\nport=ttyUSB7\n");
    {
        auto w = Open();
        EXPECT_EQ(w->cbxBaud->currentText(), "19200");
        EXPECT_EQ(w->cbxParity->currentText(), "even");
        EXPECT_EQ(w->ComCBox->currentText(), "ttyUSB7");
        EXPECT_EQ(w->ePeriod->text(), "1");
        EXPECT_FALSE(w->Session->Ser().InstanceActive()); // no port is opened at start
        EXPECT_TRUE(w->close());
    }
    const std::string ini = TTempDir::Read(dir.File("kelvara.ini"));
    for (const char* key : {"baudrate=19200", "parity=even", "port=ttyUSB7", "scan_period=1", "[Timings]"})
        EXPECT_NE(ini.find(key), std::string::npos) << key << " in " << ini;
}

TEST_F(FormTest, AMissingOffsetsFileIsShownAndTheWindowOpens)
{
    std::filesystem::remove(dir.File("offset.txt"));
    auto w = Open();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("Cannot open file \"" + QString::fromStdString(dir.File("offset.txt"))))
        << messages[0].toStdString();
    EXPECT_TRUE(w->isVisible());
    EXPECT_NE(w->Session, nullptr);
    EXPECT_TRUE(w->Memo2->toPlainText().isEmpty());
    EXPECT_TRUE(w->close());
}

TEST_F(FormTest, AFailedSettingsWriteAbandonsTheCloseAndALaterCloseReleasesOnce)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    // A directory where the settings file should be: no write can succeed,
    // also for root.
    std::filesystem::create_directory(dir.File("kelvara.ini"));

    EXPECT_FALSE(w->close());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].toStdString(), "Unable to write to " + dir.File("kelvara.ini"));
    EXPECT_TRUE(w->isVisible());
    ASSERT_NE(w->Session, nullptr);
    EXPECT_TRUE(w->Session->Ser().InstanceActive());
    EXPECT_EQ(w->Session->Table().cmdList.size(), 7u);
    EXPECT_TRUE(w->Session->Table().devList.empty());
    EXPECT_TRUE(w->Timer1->isActive()); // the run goes on
    Tick(*w);
    EXPECT_EQ(w->Memo1->toPlainText().count('\n'), 1);

    std::filesystem::remove(dir.File("kelvara.ini"));
    EXPECT_TRUE(w->close());
    EXPECT_EQ(w->Session, nullptr);
    EXPECT_FALSE(w->Timer1->isActive());
    EXPECT_EQ(messages.size(), 1);
    EXPECT_EQ(LoadSettings(dir.File("kelvara.ini")).Port, PortOf(bus).toStdString());
}

// Events are handed out inside a silent slave's reply wait too; a port
// change that arrives there waits until that exchange has ended, and the
// channels after it see it, as they would between two channels.
TEST_F(FormTest, APortChangeInsideAReplyWaitWaitsForTheExchange)
{
    sim::TSimBus bus;
    bus.SetFault(3, {sim::TFaultKind::Silent});
    auto w = ConnectedToSim(bus);
    bool openAfterChoice = false;
    int pumpsInWait = 0;
    QTimer probe;
    probe.setInterval(0);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (!w->Session || !w->Session->InsideExchange()) return;
        if (++pumpsInWait > 1) return;
        Choose(*w, "None");
        openAfterChoice = w->Session->Ser().InstanceActive();
    });
    probe.start();
    w->sbRun->click();
    Tick(*w);
    probe.stop();
    ASSERT_GE(pumpsInWait, 1) << "no events were handed out inside the silent slave's wait";
    EXPECT_TRUE(openAfterChoice) << "the port was pulled from under the wait";
    EXPECT_FALSE(w->Session->Ser().InstanceActive());
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGrey);
    const QStringList fields = w->Memo1->toPlainText().section('\n', 0, 0).split('\t');
    ASSERT_EQ(fields.size(), 8);
    for (int i = 3; i <= 7; ++i) EXPECT_EQ(fields[i], "NAN") << i;
}

// A close that waited for a scan and then could not write the settings
// leaves the clock off when Run was released in the meantime.
TEST_F(FormTest, AFailedDeferredCloseKeepsARunReleasedMeanwhileStopped)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    std::filesystem::create_directory(dir.File("kelvara.ini"));
    QTimer probe;
    InsideNextScan(*w, probe, [&] {
        EXPECT_FALSE(w->close());
        w->sbRun->click(); // released while the close waits
    });
    w->sbRun->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages.size() == 1 && !w->ClosePending(); }, kHangMs));
    EXPECT_EQ(messages[0].toStdString(), "Unable to write to " + dir.File("kelvara.ini"));
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->sbRun->isChecked());
    EXPECT_FALSE(w->Timer1->isActive());
}

TEST_F(FormTest, ACloseDuringAScanWaitsForTheScan)
{
    sim::TSimBus bus;
    auto w = ConnectedToSim(bus);
    w->sbRun->click();
    bool closedInsideScan = false;
    bool windowCloseReturned = true;
    // A zero-interval timer runs on every pass of the event loop, the scan's
    // hand-outs of events included: the close arrives in the middle of a scan.
    QTimer probe;
    probe.setInterval(0);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (!w->Scanning()) return;
        probe.stop();
        closedInsideScan = true;
        windowCloseReturned = w->close();
        EXPECT_TRUE(w->ClosePending());
        EXPECT_NE(w->Session, nullptr);
    });
    probe.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->Session == nullptr; }, kHangMs));
    EXPECT_TRUE(closedInsideScan);
    EXPECT_FALSE(windowCloseReturned);
    EXPECT_FALSE(w->isVisible());
    // The scan finished on an open port before anything was released.
    const QStringList fields = w->Memo1->toPlainText().section('\n', 0, 0).split('\t');
    ASSERT_EQ(fields.size(), 8);
    EXPECT_EQ(fields[0], "0001");
    EXPECT_EQ(fields.count("NAN"), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.File("kelvara.ini")));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

// ------------------------------------------------------------------ journal

// A journal that a run left behind is offered at the next start: restored
// below what the pane shows, or left; complete (".csv") either way.
TEST_F(FormTest, AJournalLeftBehindIsOfferedAtStart)
{
    for (const bool restore : {true, false}) {
        const std::string part = dir.File("runs/2026-12-09T120301Z.part");
        std::filesystem::create_directories(dir.File("runs"));
        dir.Write("runs/2026-12-09T120301Z.part", std::string(kHeader) + "\r\n0001\t1.00\r\n0002\t2.00\r\n");
        std::vector<TJournalInfo> offered;
        TFormOptions o = Options();
        o.OfferJournal = [&](const TJournalInfo& journal) {
            offered.push_back(journal);
            return restore;
        };
        auto w = Open(std::move(o));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !offered.empty(); }, kHangMs));
        ASSERT_EQ(offered.size(), 1u);
        EXPECT_EQ(offered[0].Start, "2026-12-09T120301Z");
        EXPECT_EQ(offered[0].Lines, 2u);
        EXPECT_EQ(w->Memo1->toPlainText(), restore ? "0001\t1.00\n0002\t2.00\n" : "");
        EXPECT_FALSE(std::filesystem::exists(part));
        EXPECT_TRUE(std::filesystem::remove(dir.File("runs/2026-12-09T120301Z.csv")));
    }
}

// The window killed at several points of a run: its journal holds whole lines
// only, one per scan from the first, and the next start restores them.
TEST_F(FormTest, AKilledWindowsJournalHoldsItsLinesWhole)
{
    const std::string kelvara = std::string(KELVARA_BIN_DIR) + "/kelvara";
    for (const size_t killAfter : {1u, 3u}) {
        const std::string state = dir.File("state" + std::to_string(killAfter));
        const std::string runs = state + "/kelvara/runs";
        test::TChildProcess window;
        ASSERT_TRUE(window.Start({kelvara, "--demo"}, {"QT_QPA_PLATFORM=offscreen", "XDG_STATE_HOME=" + state}));
        auto journalText = [&] {
            for (const auto& e : std::filesystem::directory_iterator(runs))
                if (e.path().extension() == ".part") return TTempDir::Read(e.path());
            return std::string();
        };
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                std::error_code ec;
                if (!std::filesystem::exists(runs, ec)) return false;
                const std::string text = journalText();
                return std::count(text.begin(), text.end(), '\n') > long(killAfter);
            },
            kHangMs));
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
        o.OfferJournal = [&](const TJournalInfo&) { return offered = true; };
        auto w = Open(std::move(o));
        ASSERT_TRUE(QTest::qWaitFor([&] { return offered; }, kHangMs));
        EXPECT_EQ(w->Memo1->toPlainText(), lines.mid(1).join('\n') + '\n');
    }
}

// -------------------------------------------------------------------- demo

TEST_F(FormTest, DemoModeListsChoosesAndRunsTheSimulatedBus)
{
    TFormOptions o = Options();
    o.Demo = true;
    auto w = Open(std::move(o));
    StartDemo(*w);
    ASSERT_FALSE(w->DemoPort().empty());
    ASSERT_GE(w->ComCBox->count(), 2);
    EXPECT_EQ(w->ComCBox->itemText(1).toStdString(), w->DemoPort());
    EXPECT_EQ(w->ComCBox->currentText().toStdString(), w->DemoPort());
    EXPECT_EQ(w->shConnect->BrushColor(), TForm1::kGreen);
    EXPECT_TRUE(w->sbRun->isChecked());
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->Memo1->toPlainText().count('\n') >= 1; }, kHangMs));
    EXPECT_TRUE(Lines(w->ListBox1).first().startsWith("TC_1: "));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    // The demo's port name is made up for this run: the user's settings stay.
    EXPECT_TRUE(w->close());
    EXPECT_FALSE(std::filesystem::exists(dir.File("kelvara.ini")));
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
