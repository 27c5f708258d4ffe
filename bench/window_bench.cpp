// The operator window on Qt's offscreen platform, with the real core and a
// simulated bus behind it:
//
//   window_bench responsiveness   the longest wait of a posted event while
//                                 scans run (silent slaves, then answering)
//   window_bench logpane          appending one line at 10 000, 100 000 and
//                                 1 000 000 lines; Save as of 1 000 000 lines;
//                                 memory per line
//   window_bench startup          time to a shown window and its memory, in
//                                 fresh processes
//   window_bench tick SECONDS     the drift of the window's one-second tick
//   window_bench chart            a full redraw of the chart with a week of
//                                 scans at period 1, and that week's memory
//   window_bench chartcpu SECONDS CPU of the window at period 1 with the
//                                 chart open and following, and without it
//   window_bench bare-idle        a bare widget, the reference for idle cost
#include "BenchReport.h"

#include "acquisition/Scan.h"
#include "base/Clock.h"
#include "gui/ChartWindow.h"
#include "gui/Form1.h"
#include "logfile/LogFile.h"
#include "serial/SerialChannel.h"
#include "sim/SimBus.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include <qcustomplot.h>

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>

#include <array>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace kelvara;
using kbench::Fmt;
using kbench::Median;
using kbench::NowMs;
using kbench::Ratio;
using kbench::Row;
using kbench::Say;
using kbench::Worst;

namespace {

// A scratch directory that holds the window's zero offsets.
struct TScratch : test::TTempDir {
    TScratch() : TTempDir("kelvara-window-bench") { Write("offset.txt", "0\n0\n0\n0\n0\n0\n0\n"); }
};

std::string gSaveTo;

TFormOptions Options(const TScratch& dir)
{
    TFormOptions o;
    o.ExecutablePath = dir.File("kelvara");
    o.JournalDir = dir.File("runs");
    o.ShowMessage = [](const QString& text) { Say("window_bench: the window says: %s\n", qPrintable(text)); };
    // The Save as rows name their file here; elsewhere the dialog is cancelled.
    o.ExecSaveDialog = [](QFileDialog& dialog) {
        if (gSaveTo.empty()) return false;
        dialog.selectFile(QString::fromStdString(gSaveTo));
        return true;
    };
    return o;
}

bool WaitExposed(QWidget& w, double timeoutMs = 10000)
{
    const double end = NowMs() + timeoutMs;
    while (NowMs() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (w.windowHandle() && w.windowHandle()->isExposed()) return true;
    }
    return false;
}

// The window, with what the session tells it seen on the way: when each
// scan ran and when each tick's count came.
class TWatchedForm : public TForm1 {
public:
    using TForm1::TForm1;
    struct TScan {
        double FromMs, ToMs; // wall clock
    };
    std::vector<TScan> Scans;
    std::vector<double> TickTimes, TickCounts;

    void Append(const std::string& line)
    {
        TScanRecord record;
        record.Line = line;
        ScanDone(record);
    }

protected:
    void ScanDone(const TScanRecord& record) override
    {
        const double from = double(record.StartMs) - TScanCycle::kSettleMs;
        Scans.push_back({from, from + double(record.DurationMs)});
        TForm1::ScanDone(record);
    }
    void TimeShown(const std::string& caption) override
    {
        TickTimes.push_back(NowMs());
        TickCounts.push_back(std::stod(caption));
        TForm1::TimeShown(caption);
    }
};

std::unique_ptr<TWatchedForm> OpenForm(const TScratch& dir)
{
    auto form = std::make_unique<TWatchedForm>(TLocaleSettings::Named("C"), Options(dir));
    form->show();
    if (!WaitExposed(*form)) Say("window_bench: the window was not exposed\n");
    return form;
}

// Types the port in the port box, as the operator would, and starts a run.
bool ConnectAndRun(TForm1& form, const std::string& device, const QString& period, double* runStart = nullptr)
{
    // A pty carries no parity.
    form.cbxParity->setEditText("no");
    form.cbxBaud->setEditText("19200");
    form.ComCBox->setEditText(QString::fromStdString(device));
    form.HandleEvent([&] { form.ComCBoxSelect(); });
    const double end = NowMs() + 10000;
    while (!form.sbRun->isEnabled() && NowMs() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (!form.sbRun->isEnabled()) return false;
    form.ePeriod->setText(period);
    if (runStart) *runStart = NowMs();
    form.sbRun->click();
    return form.sbRun->isChecked();
}

bool ConnectAndRun(TForm1& form, const sim::TSimBus& bus, const QString& period, double* runStart = nullptr)
{
    return ConnectAndRun(form, bus.DevicePath(), period, runStart);
}

void RunLoopFor(double ms)
{
    QEventLoop loop;
    QTimer::singleShot(int(ms), &loop, &QEventLoop::quit);
    loop.exec();
}

// ----------------------------------------------------------- responsiveness

const QEvent::Type kProbeType = QEvent::Type(QEvent::User + 17);

class TProbeEvent : public QEvent {
public:
    TProbeEvent(double posted, double postedWall) : QEvent(kProbeType), Posted(posted), PostedWall(postedWall) {}
    double Posted;
    double PostedWall;
};

// Receives the probes on the window's thread and keeps how long each waited
// and when it was posted, on the wall clock the scans' times are on.
class TProbeSink : public QObject {
public:
    bool event(QEvent* e) override
    {
        if (e->type() != kProbeType) return QObject::event(e);
        const auto* probe = static_cast<TProbeEvent*>(e);
        waits.push_back({probe->PostedWall, NowMs() - probe->Posted});
        return true;
    }
    std::vector<std::pair<double, double>> waits; // posted (wall), waited
};

struct TWaits {
    std::vector<double> all;
    double worstInScan = 0;
    double worstOutside = 0;
    uint64_t scans = 0;
    size_t events = 0;
};

// An input event stands in for the operator: one posted every millisecond
// from another thread, as the system's input would arrive.
TWaits MeasureWaits(const TScratch& dir, bool silent, double seconds)
{
    sim::TSimBus bus;
    bus.Start();
    if (silent)
        for (int s = 1; s <= 7; ++s) bus.SetFault(s, sim::TFault{sim::TFaultKind::Silent, 0});
    auto form = OpenForm(dir);
    TWaits r;
    if (!ConnectAndRun(*form, bus, "1")) {
        Say("window_bench: could not start a run on %s\n", bus.DevicePath().c_str());
        return r;
    }
    TProbeSink sink;
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop) {
            QCoreApplication::postEvent(&sink, new TProbeEvent(NowMs(), double(SystemTimeMs())));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    RunLoopFor(seconds * 1000);
    stop = true;
    poster.join();
    QCoreApplication::processEvents();
    form->sbRun->click();
    r.scans = form->Scans.size();
    std::vector<double> inScan, outside;
    for (const auto& [posted, wait] : sink.waits) {
        bool during = false;
        for (const TWatchedForm::TScan& scan : form->Scans)
            during = during || (posted >= scan.FromMs && posted <= scan.ToMs);
        (during ? inScan : outside).push_back(wait);
        r.all.push_back(wait);
    }
    r.worstInScan = Worst(inScan);
    r.worstOutside = Worst(outside);
    r.events = r.all.size();
    Say("window_bench: %s slaves: %zu events, %llu scans, worst wait %.2f ms during scans, %.2f ms outside\n",
        silent ? "silent" : "answering", r.events, static_cast<unsigned long long>(r.scans), r.worstInScan,
        r.worstOutside);
    form->close();
    return r;
}

int Responsiveness()
{
    TScratch dir;
    const double seconds = kbench::Quick() ? 4.5 : 10.5;
    // No scan runs on the window's thread: a posted event waits no longer
    // during a scan than outside one, in the same run, and at most 3 ms.
    for (const bool silent : {true, false}) {
        const TWaits w = MeasureWaits(dir, silent, seconds);
        const std::string note = std::to_string(w.events) + " events over " + std::to_string(w.scans) +
                                 " scans; median " + Fmt(Median(w.all), "ms", 2) + "; target 3 ms";
        Row(silent ? "4a" : "4b",
            silent ? "Window: longest wait of a posted event during scans, 7 silent slaves"
                   : "Window: longest wait of a posted event during scans, 7 answering slaves",
            Fmt(w.worstInScan, "ms", 2), Fmt(w.worstOutside, "ms", 2) + " (outside scans)",
            Ratio(w.worstInScan, w.worstOutside), note);
    }
    return 0;
}

// ----------------------------------------------------------------- log pane

std::string LogLine(unsigned k)
{
    char buf[128];
    const double t = 20.0 + (k % 997) * 0.01;
    std::snprintf(buf, sizeof buf, "%.4u\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f", k, t, t + 1, t + 2, t + 3, t + 4,
                  t + 5, 21.5);
    return buf;
}

QString Lines(unsigned from, unsigned count)
{
    QString text;
    for (unsigned k = from; k < from + count; ++k) {
        text += QString::fromStdString(LogLine(k));
        text += '\n';
    }
    return text;
}

// Lines of a pane whose text ends with a line break.
int PaneLines(const QPlainTextEdit& pane)
{
    return pane.document()->blockCount() - 1;
}

void ToBottom(QPlainTextEdit& pane)
{
    QCoreApplication::processEvents();
    pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum());
    QCoreApplication::processEvents();
}

// Fills the window's pane (through one big insertion per chunk, as a paste
// would) and the reference pane up to `lines`.
void FillTo(QPlainTextEdit& pane, unsigned lines, bool trailingBreak)
{
    constexpr unsigned kChunk = 20000;
    unsigned have = unsigned(PaneLines(pane) + (trailingBreak ? 0 : 1));
    if (pane.document()->isEmpty()) have = 0;
    while (have < lines) {
        const unsigned n = std::min(kChunk, lines - have);
        QString chunk = Lines(have, n);
        if (trailingBreak) {
            QTextCursor c(pane.document());
            c.movePosition(QTextCursor::End);
            c.insertText(chunk);
        } else {
            chunk.chop(1);
            pane.appendPlainText(chunk);
        }
        have += n;
    }
    ToBottom(pane);
}

int LogPane()
{
    TScratch dir;
    auto form = OpenForm(dir);
    // Qt's own append on a pane of the same size, font and wrapping.
    QPlainTextEdit ref;
    ref.setFont(form->Memo1->font());
    ref.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    ref.setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    ref.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ref.resize(form->Memo1->size());
    ref.show();
    WaitExposed(ref);

    const int appends = kbench::Quick() ? 100 : 300;
    long rssGrowth = 0;
    long rssGrowthRef = 0;
    unsigned next = 5000000; // line numbers of the measured appends
    for (const unsigned size : {10000u, 100000u, 1000000u}) {
        const double fillStart = NowMs();
        const long before = kbench::RssKiB();
        FillTo(*form->Memo1, size, true);
        rssGrowth += kbench::RssKiB() - before;
        const long beforeRef = kbench::RssKiB();
        FillTo(ref, size, false);
        rssGrowthRef += kbench::RssKiB() - beforeRef;
        Say("window_bench: both panes at %u lines after %.1f s\n", size, (NowMs() - fillStart) / 1000);

        std::vector<double> ours, oursCall;
        std::vector<double> qt, qtCall;
        for (int i = 0; i < appends; ++i) {
            const std::string line = LogLine(next++);
            double t = NowMs();
            form->Append(line);
            oursCall.push_back(NowMs() - t);
            QCoreApplication::processEvents();
            ours.push_back(NowMs() - t);
            t = NowMs();
            ref.appendPlainText(QString::fromStdString(line));
            qtCall.push_back(NowMs() - t);
            QCoreApplication::processEvents();
            qt.push_back(NowMs() - t);
        }
        char what[96];
        std::snprintf(what, sizeof what, "Log pane: append one line at %u lines (median)", size);
        Row(size == 10000u    ? "6a"
            : size == 100000u ? "6b"
                              : "6c",
            what, Fmt(Median(ours) * 1000, "us", 0),
            Fmt(Median(qt) * 1000, "us", 0) + " (QPlainTextEdit::appendPlainText)", Ratio(Median(ours), Median(qt)),
            "call plus the repaint that follows; the call alone " + Fmt(Median(oursCall) * 1000, "us", 0) + " vs " +
                Fmt(Median(qtCall) * 1000, "us", 0) + "; worst " + Fmt(Worst(ours) * 1000, "us", 0) + " vs " +
                Fmt(Worst(qt) * 1000, "us", 0) + "; " + std::to_string(appends) + " appends each");
    }

    const int lines = PaneLines(*form->Memo1);
    const double perLine = double(rssGrowth) * 1024 / lines;
    const double perLineRef = double(rssGrowthRef) * 1024 / PaneLines(ref);
    const double textBytes = 2.0 * double(LogLine(500000).size()); // UTF-16
    Row("6f", "Log pane: memory per line held", Fmt(perLine, "B", 0),
        Fmt(perLineRef, "B", 0) + " (a bare QPlainTextEdit filled alike)", Ratio(perLine, perLineRef),
        "RSS growth while the window's pane went to " + std::to_string(lines) +
            " lines; the line's own UTF-16 text is " + Fmt(textBytes, "B", 0));

    // Save as: the core's SaveLogFile with the pane's text, against Qt
    // writing the same text as UTF-8 in one go.
    ref.clear();
    QCoreApplication::processEvents();
    const std::string header = form->Session ? form->Session->Table().HeaderLine() : std::string();
    const std::string ours = dir.File("ours.csv");
    const std::string theirs = dir.File("qt.csv");
    std::vector<double> saveOurs;
    std::vector<double> saveQt;
    std::vector<double> saveCore; // SaveLogFile alone
    size_t expected = 0;
    const int rounds = kbench::Quick() ? 1 : 3;
    gSaveTo = ours;
    form->HandleEvent([&] { form->Saveas1Click(); }); // the dialog is built on first use
    for (int i = 0; i < rounds; ++i) {
        double t = NowMs();
        form->HandleEvent([&] { form->Saveas1Click(); });
        saveOurs.push_back(NowMs() - t);
        const std::string text = form->Memo1->toPlainText().toStdString();
        const double t1 = NowMs();
        SaveLogFile(ours, header, text);
        saveCore.push_back(NowMs() - t1);
        expected = header.size() + 2 + text.size() + size_t(std::count(text.begin(), text.end(), '\n'));

        t = NowMs();
        QFile f(QString::fromStdString(theirs));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            f.write(form->Memo1->toPlainText().toUtf8());
            f.close();
        }
        saveQt.push_back(NowMs() - t);
    }
    struct stat st {};
    const double size = stat(ours.c_str(), &st) == 0 ? double(st.st_size) : NAN;
    Row("6d", "Log pane: Save as, " + std::to_string(lines) + " lines", Fmt(Median(saveOurs), "ms", 0),
        Fmt(Median(saveQt), "ms", 0) + " (QFile write of the pane's text as UTF-8)",
        Ratio(Median(saveOurs), Median(saveQt)),
        "the window's Save as with its dialog answered at once, against Qt writing the pane's text; both take the text "
        "out of the pane (toPlainText); SaveLogFile alone " +
            Fmt(Median(saveCore), "ms", 0) + " (checks UTF-8, adds CR LF and the header)");
    Row("6e", "Log pane: Save as file size", Fmt(size / 1e6, "MB", 2),
        Fmt(double(expected) / 1e6, "MB", 2) + " (header + lines, each + CR LF)", Ratio(size, double(expected)),
        std::to_string(st.st_size) + " bytes");
    form->close();
    return 0;
}

// ------------------------------------------------------------------ start-up

// The child: from the parent's fork to a window the platform has exposed.
int StartupChild(const std::string& kind, double t0, const std::string& dirPath)
{
    int argc = 1;
    char name[] = "window_bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    std::unique_ptr<QWidget> w;
    if (kind == "kelvara") {
        TFormOptions o;
        o.ExecutablePath = dirPath + "/kelvara";
        o.JournalDir = dirPath + "/runs";
        o.ShowMessage = [](const QString&) {};
        w = std::make_unique<TForm1>(TLocaleSettings::Capture(), std::move(o));
    } else {
        w = std::make_unique<QWidget>();
        w->resize(TFormLayout::kClientWidth, TFormLayout::kClientHeight);
        // The same with the window's save dialog made up front, as the
        // window makes it: how much of the difference that dialog is.
        if (kind == "dialog") (new QFileDialog(w.get()))->setOptions(QFileDialog::DontUseNativeDialog);
    }
    w->show();
    const bool exposed = WaitExposed(*w);
    const double ms = NowMs() - t0;
    std::printf("%s %.3f %ld\n", exposed ? "ok" : "failed", ms, kbench::RssKiB());
    std::fflush(stdout);
    return 0;
}

bool SpawnStartup(const std::string& self, const std::string& kind, const std::string& dirPath, double& ms, long& rss)
{
    char t0[64];
    const double start = NowMs();
    std::snprintf(t0, sizeof t0, "%.6f", start);
    test::TChildProcess child;
    if (!child.Start({self, "startup-child", kind, t0, dirPath})) return false;
    // A watchdog for a child that never shows its window.
    if (!child.Wait(std::chrono::minutes(2))) return false;
    const std::string out = child.Out();
    char word[16] = {};
    const bool ok = std::sscanf(out.c_str(), "%15s %lf %ld", word, &ms, &rss) == 3 && std::string(word) == "ok";
    if (!ok) Say("window_bench: start-up of %s failed: %s%s\n", kind.c_str(), out.c_str(), child.Err().c_str());
    return ok;
}

int Startup(const std::string& self)
{
    TScratch dir;
    const std::string dirPath = dir.Path();
    const int runs = kbench::Quick() ? 3 : 9;
    const std::vector<std::string> kinds = {"kelvara", "bare", "dialog"};
    std::vector<std::vector<double>> ms(kinds.size()), rss(kinds.size());
    // Round 0 only warms the file cache; the kinds take turns.
    for (int i = 0; i <= runs; ++i)
        for (size_t k = 0; k < kinds.size(); ++k) {
            double t = 0;
            long kib = 0;
            if (SpawnStartup(self, kinds[k], dirPath, t, kib) && i > 0) {
                ms[k].push_back(t);
                rss[k].push_back(double(kib) / 1024);
            }
        }
    Row("8a", "Start-up: fork to an exposed window (median)", Fmt(Median(ms[0]), "ms", 1),
        Fmt(Median(ms[1]), "ms", 1) + " (a bare QWidget of the same size)", Ratio(Median(ms[0]), Median(ms[1])),
        "offscreen; " + std::to_string(ms[0].size()) + " fresh processes each, worst " + Fmt(Worst(ms[0]), "ms", 1) +
            " vs " + Fmt(Worst(ms[1]), "ms", 1) +
            "; the bare QWidget holding a QFileDialog: " + Fmt(Median(ms[2]), "ms", 1));
    Row("8b", "Start-up: resident memory of the shown window", Fmt(Median(rss[0]), "MiB", 1),
        Fmt(Median(rss[1]), "MiB", 1) + " (bare QWidget)", Ratio(Median(rss[0]), Median(rss[1])),
        "VmRSS; the bare QWidget holding a QFileDialog: " + Fmt(Median(rss[2]), "MiB", 1));
    return 0;
}

// --------------------------------------------------------------------- tick

int Tick(double seconds)
{
    TScratch dir;
    sim::TSimBus bus;
    bus.Start();
    auto form = OpenForm(dir);
    struct {
        std::vector<double>& times;
        std::vector<double>& counts;
    } watch{form->TickTimes, form->TickCounts};
    double start = 0;
    if (!ConnectAndRun(*form, bus, "1", &start)) {
        Row("5b", "Clock: window's second count vs monotonic clock", "n/a", "0 s/day", "n/a", "no run");
        return 1;
    }
    RunLoopFor(seconds * 1000);
    form->sbRun->click();
    const size_t n = watch.times.size();
    if (n < 10) {
        Row("5b", "Clock: window's second count vs monotonic clock", "n/a", "0 s/day", "n/a", "too few ticks");
        return 1;
    }
    std::vector<double> offsets;
    std::vector<double> late; // how long after its due time each tick came
    for (size_t k = 0; k < n; ++k) {
        offsets.push_back(watch.times[k] - start - 1000 * watch.counts[k]);
        if (k > 0) late.push_back(watch.times[k] - watch.times[k - 1] - 1000);
    }
    // Qt lets a coarse timer fire up to 5 % of its interval early or late and
    // uses that room to move a 1000 ms timer onto whole seconds of its clock:
    // the first few ticks shift their phase, then it holds. The drift is the
    // change of the typical offset after that settling; the settling itself
    // is an offset of the count, reported apart.
    const size_t settle = std::min<size_t>(5, n / 4);
    const size_t w = std::max<size_t>(3, std::min<size_t>(30, (n - settle) / 5));
    const std::vector<double> first(offsets.begin() + long(settle), offsets.begin() + long(settle + w));
    const std::vector<double> last(offsets.end() - long(w), offsets.end());
    const double span = watch.counts[n - 1 - w / 2] - watch.counts[settle + w / 2]; // between the windows' centres
    const double perDay = (Median(last) - Median(first)) / 1000 / span * 86400;
    Say("window_bench tick: %zu ticks, median offset %.2f ms over the first %zu, %.2f ms over the last %zu; "
        "offsets range %.2f..%.2f ms; tick spacing median %+.3f ms\n",
        n, Median(first), w, Median(last), w, *std::min_element(offsets.begin(), offsets.end()), Worst(offsets),
        Median(late));
    for (size_t k = 0; k < n; ++k)
        if (std::abs(offsets[k] - Median(offsets)) > 5)
            Say("window_bench tick: tick %zu (count %.0f) came %+.2f ms from the typical offset\n", k, watch.counts[k],
                offsets[k] - Median(offsets));
    char what[128];
    std::snprintf(what, sizeof what, "Clock: window's second count vs monotonic clock (%.0f s run)", seconds);
    Row("5b", what, Fmt(perDay, "s/day", 2), "0 s/day (the monotonic clock)", "n/a",
        "the session's tick, shown by the window; median tick spacing " + Fmt(1000 + Median(late), "ms", 3) +
            "; the first tick came " + Fmt(offsets[0] + 1000, "ms", 1) + " after Run, then the phase moved to " +
            Fmt(Median(first), "ms", 1) + " (start) and " + Fmt(Median(last), "ms", 1) + " (end) against Run + n s; " +
            std::to_string(n) + " ticks");
    form->close();
    return 0;
}

// -------------------------------------------------------------------- chart

constexpr size_t kWeekScans = 7 * 24 * 3600;
constexpr double kRedrawTargetMs = 20;
constexpr double kStoreTargetMB = 64;
constexpr double kCpuTargetPercent = 2;

// A week at one scan a second: slow oven-like waves with noise, a silent
// minute every few hours and a thermocouple out of the table now and then.
void FillWeek(TTrendStore& store)
{
    const int64_t start = 1796817781000;
    uint32_t noise = 12345;
    for (size_t i = 0; i < kWeekScans; ++i) {
        std::array<float, 7> v{};
        std::array<bool, 7> out{};
        for (int ch = 0; ch < 7; ++ch) {
            noise = noise * 1664525u + 1013904223u;
            const double jitter = double(noise >> 8) / double(1u << 24) - 0.5;
            v[ch] = ch == 6 ? float(22 + 2 * std::sin(double(i) / 43200.0) + 0.1 * jitter)
                            : float(400 + 350 * std::sin(double(i) / 5400.0 + ch) + jitter);
        }
        if (i % 10800 < 60) v[3] = NAN;
        if (i % 50000 == 7) {
            v[5] = NAN;
            out[5] = true;
        }
        store.Add(start + int64_t(i) * 1000, uint32_t(i + 1), v, out);
    }
}

template <typename F>
std::vector<double> Times(int rounds, F&& what)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const double t = NowMs();
        what();
        ms.push_back(NowMs() - t);
    }
    return ms;
}

int Chart()
{
    const long rssBefore = kbench::RssKiB();
    const double fillStart = NowMs();
    auto store = std::make_unique<TTrendStore>();
    FillWeek(*store);
    const double rssGrowthMB = double(kbench::RssKiB() - rssBefore) / 1024;
    const double storeMB = double(store->MemoryBytes()) / (1024 * 1024);
    Say("window_bench chart: a week of %zu scans filled in %.1f s\n", store->Size(), (NowMs() - fillStart) / 1000);

    TChartWindow chart(TLocaleSettings::Named("C"));
    chart.SetStore([&store](const auto& read) { read(*store); },
                   {"TC_1", "TC_2", "TC_3", "TC_4", "TC_5", "TC_6", "T__A"});
    chart.show();
    if (!WaitExposed(chart)) Say("window_bench: the chart was not exposed\n");
    QCoreApplication::processEvents();
    const std::string size =
        std::to_string(chart.Plot->width()) + " x " + std::to_string(chart.Plot->height()) + " px plot";

    const int rounds = kbench::Quick() ? 15 : 50;
    // The whole week in view: the reduction, the statistics and the replot.
    chart.ShowRange(store->FirstTimeMs(), store->LastTimeMs());
    chart.Redraw(true); // warm: fonts, tick labels
    const std::vector<double> week = Times(rounds, [&] { chart.Redraw(true); });
    // The same split in two: loading (reduction, markers, statistics, Y
    // range) with the replot left queued, then the replot alone.
    const std::vector<double> load = Times(rounds, [&] { chart.Redraw(false); });
    const std::vector<double> replot = Times(rounds, [&] { chart.Plot->replot(QCustomPlot::rpImmediateRefresh); });
    QCoreApplication::processEvents();
    const TChartWindow::TRequest req = chart.LastRequest();
    const std::vector<double> reduce = Times(rounds, [&] {
        for (int ch = 0; ch < 7; ++ch) store->Series(ch, req.FromMs, req.ToMs, req.MaxPoints);
    });
    size_t points = 0;
    for (int ch = 0; ch < 7; ++ch) points += size_t(chart.Series[ch]->data()->size());
    Row("9a", "Chart: full redraw, a week at period 1 in view (median)", Fmt(Median(week), "ms", 2),
        Fmt(kRedrawTargetMs, "ms", 0) + " (target)", Ratio(Median(week), kRedrawTargetMs),
        "worst " + Fmt(Worst(week), "ms", 2) + " over " + std::to_string(rounds) + " redraws of " +
            std::to_string(kWeekScans) + " scans x 7 channels, " + std::to_string(points) + " points drawn, " + size +
            "; loading " + Fmt(Median(load), "ms", 2) + " (of it the store's reduction " +
            Fmt(Median(reduce), "ms", 2) + "), replot " + Fmt(Median(replot), "ms", 2));

    // What each second of a run costs: the last ten minutes of that week.
    chart.SetFollow(true);
    chart.Redraw(true);
    const std::vector<double> follow = Times(rounds, [&] { chart.Redraw(true); });
    Row("9b", "Chart: redraw in follow mode, last 10 min of the week (median)", Fmt(Median(follow), "ms", 2),
        Fmt(kRedrawTargetMs, "ms", 0) + " (target)", Ratio(Median(follow), kRedrawTargetMs),
        "worst " + Fmt(Worst(follow), "ms", 2) + "; what each scan's tick costs with the chart shown");

    Row("9c", "Chart: trend store memory, a week at period 1", Fmt(storeMB, "MiB", 1),
        Fmt(kStoreTargetMB, "MiB", 0) + " (target)", Ratio(storeMB, kStoreTargetMB),
        "TTrendStore::MemoryBytes(); RSS grew " + Fmt(rssGrowthMB, "MiB", 1) + " while it filled");
    chart.close();
    return 0;
}

// The child: the window on the parent's bus at period 1, with or without the
// chart, and the CPU the whole process used while it ran.
int ChartWindowChild(bool withChart, double seconds, const std::string& port)
{
    TScratch dir;
    auto form = OpenForm(dir);
    if (!ConnectAndRun(*form, port, "1")) {
        std::printf("failed no run\n");
        return 1;
    }
    if (withChart) form->Chart1Click();
    RunLoopFor(3000); // settled: the chart shown, fonts loaded
    const auto before = kbench::ThreadCpuSeconds(getpid());
    const double t0 = NowMs();
    RunLoopFor(seconds * 1000);
    const auto after = kbench::ThreadCpuSeconds(getpid());
    const double elapsed = (NowMs() - t0) / 1000;
    const size_t drawn = form->ChartWindow1 ? size_t(form->ChartWindow1->Series[0]->data()->size()) : 0;
    size_t scans = 0;
    form->Session->ReadTrend([&scans](const TTrendStore& store) { scans = store.Size(); });
    std::printf("ok %.6f %.3f %zu %zu\n", kbench::CpuBetween(before, after), elapsed, scans, drawn);
    std::fflush(stdout);
    form->close();
    return 0;
}

int ChartCpu(const std::string& self, double seconds)
{
    // The buses run here, so that the children's CPU is the window's alone.
    sim::TSimBus withBus, withoutBus;
    withBus.Start();
    withoutBus.Start();
    test::TChildProcess with, without;
    const std::vector<std::string> offscreen = {"QT_QPA_PLATFORM=offscreen"};
    const std::string secondsText = std::to_string(seconds);
    with.Start({self, "chart-window", "1", secondsText, withBus.DevicePath()}, offscreen);
    without.Start({self, "chart-window", "0", secondsText, withoutBus.DevicePath()}, offscreen);
    const auto limit = std::chrono::milliseconds(long(seconds * 1000) + 120000);
    const bool done = with.Wait(limit) && without.Wait(limit);
    double cpu[2] = {NAN, NAN}, span[2] = {NAN, NAN};
    size_t scans[2] = {0, 0}, drawn[2] = {0, 0};
    test::TChildProcess* children[2] = {&with, &without};
    for (int k = 0; k < 2 && done; ++k) {
        char word[16] = {};
        if (std::sscanf(children[k]->Out().c_str(), "%15s %lf %lf %zu %zu", word, &cpu[k], &span[k], &scans[k],
                        &drawn[k]) != 5 ||
            std::string(word) != "ok") {
            Say("window_bench chartcpu: child %d: %s%s\n", k, children[k]->Out().c_str(), children[k]->Err().c_str());
            cpu[k] = NAN;
        }
    }
    const double percent = cpu[0] / span[0] * 100;
    const double percentWithout = cpu[1] / span[1] * 100;
    Say("window_bench chartcpu: with chart %.4f s CPU in %.1f s (%zu scans, %zu drawn); without %.4f s in %.1f s\n",
        cpu[0], span[0], scans[0], drawn[0], cpu[1], span[1]);
    Row("9d", "Chart: window at period 1, chart open and following, CPU", Fmt(percent, "% of a core", 2),
        Fmt(kCpuTargetPercent, "%", 0) + " (target)", Ratio(percent, kCpuTargetPercent),
        Fmt(cpu[0] / span[0] * 3600, "s", 1) + " CPU per hour; without the chart " + Fmt(percentWithout, "%", 2) +
            " (" + Fmt(cpu[1] / span[1] * 3600, "s", 1) + " per hour); measured over " + Fmt(span[0], "s", 0) +
            ", offscreen, simulated bus in another process");
    return 0;
}

int BareIdle(QApplication& app)
{
    QWidget w;
    w.resize(TFormLayout::kClientWidth, TFormLayout::kClientHeight);
    w.show();
    return app.exec();
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> a(argv, argv + argc);
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (a.size() == 5 && a[1] == "startup-child") return StartupChild(a[2], std::stod(a[3]), a[4]);

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    std::setlocale(LC_NUMERIC, "C");
    try {
        if (a.size() == 2 && a[1] == "responsiveness") return Responsiveness();
        if (a.size() == 2 && a[1] == "logpane") return LogPane();
        if (a.size() == 2 && a[1] == "startup") return Startup("/proc/self/exe");
        if (a.size() == 3 && a[1] == "tick") return Tick(std::stod(a[2]));
        if (a.size() == 2 && a[1] == "bare-idle") return BareIdle(app);
        if (a.size() == 2 && a[1] == "chart") return Chart();
        if (a.size() == 3 && a[1] == "chartcpu") return ChartCpu("/proc/self/exe", std::stod(a[2]));
        if (a.size() == 5 && a[1] == "chart-window") return ChartWindowChild(a[2] == "1", std::stod(a[3]), a[4]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "window_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: window_bench responsiveness | logpane | startup | tick SECONDS | bare-idle | chart | "
                         "chartcpu SECONDS\n");
    return 2;
}
