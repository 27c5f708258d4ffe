// The chart window drawn from a store the test fills: follow mode and the
// mouse, the reduced series with their gaps, the legend, the statistics and
// the PNG export, on Qt's offscreen platform with the save dialog answered
// through its hook.
#include "gui/ChartWindow.h"
#include "support/TempDir.h"

#include <qcustomplot.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <limits>
#include <sys/resource.h>

using namespace kelvara;
using kelvara::test::TTempDir;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int64_t kStart = 1796817781000;
constexpr size_t kScans = 7200; // two hours at one scan a second
// Channel 2 has no reading for ten minutes; channel 4 is out of the table once.
constexpr size_t kSilentFrom = 3000, kSilentTo = 3600, kOut = 5000;
const std::array<std::string, 7> kNames = {"TC_1", "TC_2", "TC_3", "TC_4", "TC_5", "TC_6", "T__A"};

int64_t TimeOf(size_t i)
{
    return kStart + int64_t(i) * 1000;
}

// Each channel in a band of its own: 100 °C apart, a slow wave of ±10 °C.
void AddScan(TTrendStore& store, size_t i)
{
    std::array<float, 7> v{};
    std::array<bool, 7> out{};
    for (int ch = 0; ch < 7; ++ch) v[ch] = float(100 * ch + 10 * std::sin(double(i) / 300 + ch));
    if (i >= kSilentFrom && i < kSilentTo) v[2] = kNaN;
    if (i == kOut) {
        v[4] = kNaN;
        out[4] = true;
    }
    store.Add(TimeOf(i), uint32_t(i + 1), v, out);
}

void Mouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButtons buttons)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(at), QPointF(w->mapToGlobal(at)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void Click(QWidget* w, QPoint at)
{
    Mouse(w, QEvent::MouseButtonPress, at, Qt::LeftButton);
    Mouse(w, QEvent::MouseButtonRelease, at, Qt::NoButton);
}

class ChartTest : public ::testing::Test {
protected:
    ChartTest()
    {
        for (size_t i = 0; i < kScans; ++i) AddScan(store, i);
    }

    std::unique_ptr<TChartWindow> Open(TChartOptions o = {})
    {
        auto w = std::make_unique<TChartWindow>(TLocaleSettings::Named("C"), std::move(o));
        w->SetStore([this](const auto& read) { read(store); }, kNames);
        w->resize(1000, 700);
        w->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        QApplication::processEvents();
        w->Redraw(true);
        return w;
    }

    // The plot's centre, inside the axis rect and away from the legend.
    static QPoint Centre(const TChartWindow& w) { return w.Plot->axisRect()->rect().center() + QPoint(100, 0); }

    static double Seconds(int64_t ms) { return double(ms) / 1000; }

    // The run goes on by one scan, and the window is told.
    void NextScan(TChartWindow& w)
    {
        AddScan(store, store.Size());
        w.StoreChanged();
    }

    TTrendStore store;
};

// Follow mode shows the last N minutes and moves with the run; a zoom or a
// pan leaves it where the operator put it; a double-click or Follow returns.
TEST_F(ChartTest, FollowModeMovesWithTheRunUntilAZoomOrPan)
{
    auto w = Open();
    EXPECT_EQ(w->FollowMinutes(), TChartWindow::kDefaultFollowMinutes);
    w->cbxSpan->setCurrentIndex(w->cbxSpan->findText("30 min"));
    emit w->cbxSpan->activated(w->cbxSpan->currentIndex());
    NextScan(*w);
    EXPECT_EQ(w->ViewToMs(), TimeOf(kScans));
    EXPECT_EQ(w->ViewFromMs(), TimeOf(kScans) - 30 * 60000);

    enum TLeave { Wheel, Drag };
    enum TBack { DoubleClick, Button };
    for (const TLeave leave : {Wheel, Drag})
        for (const TBack back : {DoubleClick, Button}) {
            SCOPED_TRACE(std::to_string(leave) + " " + std::to_string(back));
            const QPoint at = Centre(*w);
            if (leave == Wheel) {
                QWheelEvent wheel(QPointF(at), QPointF(w->Plot->mapToGlobal(at)), QPoint(), QPoint(0, 120),
                                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(w->Plot, &wheel);
            } else {
                Mouse(w->Plot, QEvent::MouseButtonPress, at, Qt::LeftButton);
                Mouse(w->Plot, QEvent::MouseMove, at + QPoint(120, 0), Qt::LeftButton);
                Mouse(w->Plot, QEvent::MouseButtonRelease, at + QPoint(120, 0), Qt::NoButton);
            }
            EXPECT_FALSE(w->Following());
            EXPECT_FALSE(w->sbFollow->isChecked());
            const int64_t from = w->ViewFromMs(), to = w->ViewToMs();
            EXPECT_NE(to, store.LastTimeMs());
            NextScan(*w);
            QApplication::processEvents();
            EXPECT_EQ(w->ViewFromMs(), from);
            EXPECT_EQ(w->ViewToMs(), to);

            if (back == DoubleClick) {
                Click(w->Plot, at);
                Mouse(w->Plot, QEvent::MouseButtonDblClick, at, Qt::LeftButton);
                Mouse(w->Plot, QEvent::MouseButtonRelease, at, Qt::NoButton);
            } else {
                w->sbFollow->click();
            }
            EXPECT_TRUE(w->Following());
            EXPECT_TRUE(w->sbFollow->isChecked());
            EXPECT_EQ(w->ViewToMs(), store.LastTimeMs());
            EXPECT_EQ(w->ViewFromMs(), store.LastTimeMs() - 30 * 60000);
        }
}

// What each series draws is the store's reduction of the range shown (and a
// little beyond), at a density the plot's width sets; a channel without a
// reading is a NaN, which the plot leaves as a gap, never a zero.
TEST_F(ChartTest, SeriesAreTheStoresReductionWithGapsAsNaN)
{
    auto w = Open();
    const auto same = [](double a, float b) { return std::isnan(b) ? std::isnan(a) : a == double(b); };
    // The whole run, reduced; two minutes, every scan.
    for (const auto& [from, to] :
         {std::pair{TimeOf(0), TimeOf(kScans - 1)}, std::pair{TimeOf(kSilentFrom - 60), TimeOf(kSilentFrom + 60)}}) {
        w->ShowRange(from, to);
        const TChartWindow::TRequest req = w->LastRequest();
        EXPECT_LE(req.FromMs, from);
        EXPECT_GE(req.ToMs, to);
        EXPECT_LE(req.MaxPoints, size_t(3 * w->Plot->width()));
        for (int ch = 0; ch < 7; ++ch) {
            const auto expected = store.Series(ch, req.FromMs, req.ToMs, req.MaxPoints);
            const QCPGraphDataContainer& data = *w->Series[ch]->data();
            ASSERT_EQ(size_t(data.size()), expected.size()) << ch;
            int differ = 0;
            for (int k = 0; k < data.size(); ++k)
                differ += data.at(k)->key != Seconds(expected[k].TimeMs) || !same(data.at(k)->value, expected[k].Value);
            EXPECT_EQ(differ, 0) << ch;
        }
        // The silence of channel 2 is a run of NaN from its first scan on.
        const QCPGraphDataContainer& silent = *w->Series[2]->data();
        const auto gap = silent.findBegin(Seconds(TimeOf(kSilentFrom)), false);
        ASSERT_NE(gap, silent.constEnd());
        EXPECT_TRUE(std::isnan(gap->value));
        EXPECT_FALSE(std::isnan((gap - 1)->value));
    }
    // The one scan out of the table is marked; no other channel is.
    w->ShowRange(TimeOf(kOut - 600), TimeOf(kOut + 600));
    ASSERT_EQ(w->Marks[4]->data()->size(), 1);
    EXPECT_EQ(w->Marks[4]->data()->at(0)->key, Seconds(TimeOf(kOut)));
    for (int ch : {0, 1, 2, 3, 5, 6}) EXPECT_EQ(w->Marks[ch]->data()->size(), 0) << ch;
}

TEST_F(ChartTest, AClickOnALegendEntryHidesItsSeriesAndYScalesToTheRest)
{
    auto w = Open();
    // The cold junction's band is the highest, around 600 °C.
    EXPECT_GT(w->Plot->yAxis->range().upper, 590);
    const QPoint entry = w->Plot->legend->itemWithPlottable(w->Series[6])->rect().center();
    Click(w->Plot, entry);
    EXPECT_FALSE(w->Series[6]->visible());
    EXPECT_FALSE(w->Marks[6]->visible());
    for (int ch = 0; ch < 6; ++ch) EXPECT_TRUE(w->Series[ch]->visible()) << ch;
    EXPECT_LT(w->Plot->yAxis->range().upper, 560);
    EXPECT_TRUE(w->Following()); // a click on the legend is no pan

    Click(w->Plot, entry);
    EXPECT_TRUE(w->Series[6]->visible());
    EXPECT_GT(w->Plot->yAxis->range().upper, 590);
}

TEST_F(ChartTest, FixYKeepsTheTemperatureAxisWhileTheDataMoves)
{
    auto w = Open();
    const QCPRange autoscaled = w->Plot->yAxis->range();
    w->cbFixY->setChecked(true);
    // Every channel jumps to 1000 °C, but two have no temperature: infinite
    // readings, which the scale leaves out.
    std::array<float, 7> v{};
    v.fill(1000.0f);
    v[0] = INFINITY;
    v[6] = -INFINITY;
    store.Add(store.LastTimeMs() + 1000, uint32_t(store.Size() + 1), v, {});
    w->StoreChanged();
    EXPECT_EQ(w->Plot->yAxis->range(), autoscaled);

    w->cbFixY->setChecked(false);
    const QCPRange r = w->Plot->yAxis->range();
    EXPECT_GT(r.upper, 1000);
    EXPECT_LT(r.upper, 1000 + 0.1 * r.size());
    EXPECT_LT(r.lower, autoscaled.lower + 0.1 * r.size());
}

TEST_F(ChartTest, StatsTableShowsTheVisibleRangeAndTheWholeRun)
{
    auto w = Open();
    // Inside channel 2's silence: no reading there, but some over the run.
    w->ShowRange(TimeOf(kSilentFrom + 100), TimeOf(kSilentFrom + 400));
    const auto cells = [](const TTrendStore::TStats& s) {
        if (!s.Count) return QStringList{"-", "-", "-", "-"};
        QStringList texts;
        for (const float v : {s.Last, s.Min, s.Max, float(s.Mean)})
            texts << QString::fromStdString(FormatReading(v, TLocaleSettings::Named("C")));
        return texts;
    };
    for (int ch = 0; ch < 7; ++ch) {
        EXPECT_EQ(w->gridStats->verticalHeaderItem(ch)->text().toStdString(), kNames[ch]);
        QStringList shown;
        for (int col = 0; col < TChartWindow::colCount; ++col) shown << w->gridStats->item(ch, col)->text();
        EXPECT_EQ(shown, cells(store.Stats(ch, w->ViewFromMs(), w->ViewToMs())) + cells(store.RunStats(ch))) << ch;
    }
    EXPECT_EQ(w->gridStats->item(2, TChartWindow::colMin)->text(), "-");
}

TEST_F(ChartTest, TheTooltipGivesTheSecondOfTheRun)
{
    auto w = Open();
    w->ShowRange(TimeOf(0) - 300000, TimeOf(0) + 300000);
    w->Redraw(true);
    const int y = w->Plot->axisRect()->rect().center().y();
    const int atScan = int(std::lround(w->Plot->xAxis->coordToPixel(Seconds(TimeOf(120)))));
    EXPECT_TRUE(w->TipAt(QPoint(atScan, y)).endsWith("second 121 of the run"))
        << w->TipAt(QPoint(atScan, y)).toStdString();
    const int beforeRun = int(std::lround(w->Plot->xAxis->coordToPixel(Seconds(TimeOf(0) - 60000))));
    EXPECT_TRUE(w->TipAt(QPoint(beforeRun, y)).isEmpty());
}

TEST_F(ChartTest, SavePngWritesThePlotWhereTheOperatorSays)
{
    TTempDir dir{"kelvara-chart"};
    // A name confirmed, a cancel, a directory that does not exist, a disk that
    // fills up before the image's last byte (a file size limit: EFBIG, its
    // signal ignored), which reaches the file only as it is closed.
    std::signal(SIGXFSZ, SIG_IGN);
    uintmax_t imageBytes = 0;
    for (const std::string name : {"chart.png", "", "no-such-dir/chart.png", "full.png"}) {
        SCOPED_TRACE(name);
        QStringList messages;
        TChartOptions o;
        o.ExecSaveDialog = [&](QFileDialog& dialog) {
            dialog.selectFile(QString::fromStdString(dir.File(name)));
            return !name.empty();
        };
        o.ShowFailure = [&](const QString& text) { messages << text; };
        auto w = Open(std::move(o));
        rlimit limit{}, unlimited{};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        limit = {name == "full.png" ? rlim_t(imageBytes - 1) : unlimited.rlim_cur, unlimited.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
        w->btnExport->click();
        setrlimit(RLIMIT_FSIZE, &unlimited);
        const std::string path = dir.File(name.empty() ? "chart.png" : name);
        EXPECT_EQ(std::filesystem::exists(path), name.ends_with("png") && name.find('/') == std::string::npos);
        EXPECT_EQ(messages.size(), name.find('/') != std::string::npos || name == "full.png" ? 1 : 0);
        if (!messages.empty()) {
            EXPECT_TRUE(messages[0].startsWith(name == "full.png" ? "Cannot write file \"" : "Cannot create file \""))
                << messages[0].toStdString();
        }
        if (!std::filesystem::exists(path) || !messages.empty()) continue;
        EXPECT_EQ(TTempDir::Read(path).substr(0, 8), "\x89PNG\r\n\x1a\n");
        QImage image;
        EXPECT_TRUE(image.load(QString::fromStdString(path)));
        EXPECT_EQ(image.size(), w->Plot->size());
        imageBytes = std::filesystem::file_size(path);
        std::filesystem::remove(path);
    }
}

} // namespace
