#include "gui/ChartWindow.h"

#include <qcustomplot.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace kelvara;

namespace {

// Six thermocouples in colours that stay apart on white, the cold junction
// in grey and dashed.
const QColor kColours[TChartWindow::kChannels] = {
    QColor(31, 119, 180),  QColor(255, 127, 14), QColor(44, 160, 44),   QColor(214, 39, 40),
    QColor(148, 103, 189), QColor(140, 86, 75),  QColor(110, 110, 110),
};
const QColor kHiddenText(170, 170, 170);

struct TSpan {
    const char* Text;
    int Minutes;
};
const TSpan kSpans[] = {
    {"1 min", 1}, {"5 min", 5}, {"10 min", 10}, {"30 min", 30}, {"1 h", 60},
    {"3 h", 180}, {"6 h", 360}, {"12 h", 720},  {"24 h", 1440}, {"7 d", 10080},
};

// The markers of channel ch sit at this height of the marker axis (0 is the
// bottom of the plot, 1 its top), one row per channel so that they do not
// cover each other.
double MarkRow(int ch)
{
    return 0.975 - 0.022 * ch;
}

// A flat series still gets a Y range this tall, in °C.
constexpr double kMinYSpan = 1.0;
constexpr double kYMargin = 0.05; // of the data's span, above and below

// The plot's reduced data reaches a little beyond each edge, so that the
// line runs to the edge and a short pan shows data before it is reloaded.
constexpr int64_t kPadDivisor = 8;
// A marker is 7 pixels wide: one bucket of markers per 4 pixels is plenty,
// and costs a quarter of the store's walk that the series take.
constexpr size_t kMarkThinning = 4;

} // namespace

TChartWindow::TChartWindow(TLocaleSettings locale, TChartOptions options, QWidget* parent)
    : QWidget(parent, Qt::Window), locale_(std::move(locale)), options_(std::move(options))
{
    if (!options_.ExecSaveDialog)
        options_.ExecSaveDialog = [](QFileDialog& dialog) { return dialog.exec() == QDialog::Accepted; };
    if (!options_.ShowFailure)
        options_.ShowFailure = [this](const QString& text) { QMessageBox::critical(this, windowTitle(), text); };
    BuildControls();
    WireEvents();
}

TChartWindow::~TChartWindow() = default;

void TChartWindow::BuildControls()
{
    setObjectName("ChartWindow");
    setWindowTitle("Kelvara chart");
    resize(1100, 720);

    sbFollow = new QPushButton("Follow", this);
    sbFollow->setObjectName("sbFollow");
    sbFollow->setCheckable(true);
    sbFollow->setChecked(true);
    // The style's own checked look is too faint to tell a latched button;
    // a style sheet drops the style's padding, so the size is kept first.
    sbFollow->setMinimumSize(sbFollow->sizeHint());
    sbFollow->setStyleSheet("QPushButton:checked { background: #c4c4c4; border: 2px inset #808080; }");
    sbFollow->setToolTip("Show the last minutes of the run and move with it (or double-click the plot)");
    auto* spanLabel = new QLabel("Last", this);
    cbxSpan = new QComboBox(this);
    cbxSpan->setObjectName("cbxSpan");
    for (const TSpan& span : kSpans) cbxSpan->addItem(span.Text, span.Minutes);
    cbxSpan->setCurrentIndex(cbxSpan->findData(kDefaultFollowMinutes));
    spanLabel->setBuddy(cbxSpan);
    cbFixY = new QCheckBox("Fix Y", this);
    cbFixY->setObjectName("cbFixY");
    cbFixY->setToolTip("Keep the temperature axis as it is; the mouse then zooms and pans it too");
    btnExport = new QPushButton("Save PNG...", this);
    btnExport->setObjectName("btnExport");

    auto* bar = new QHBoxLayout;
    bar->addWidget(sbFollow);
    bar->addWidget(spanLabel);
    bar->addWidget(cbxSpan);
    bar->addSpacing(12);
    bar->addWidget(cbFixY);
    bar->addStretch(1);
    bar->addWidget(btnExport);
    BuildPlot();
    BuildStats();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(Plot, 1);
    layout->addWidget(gridStats);
}

void TChartWindow::BuildPlot()
{
    Plot = new QCustomPlot(this);
    Plot->setObjectName("Plot");
    Plot->setMinimumSize(300, 200);
    // Seconds since the epoch on the time axis, shown in local time.
    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeSpec(Qt::LocalTime);
    ticker->setTickCount(7);
    Plot->xAxis->setTicker(ticker);
    Plot->yAxis->setLabel("°C");
    // The out-of-range markers' axis: always 0 to 1, not drawn.
    Plot->yAxis2->setRange(0, 1);
    Plot->yAxis2->setVisible(false);
    Plot->legend->setVisible(true);
    Plot->legend->setBrush(QColor(255, 255, 255, 210));
    Plot->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignLeft | Qt::AlignTop);
    Plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    Plot->setNoAntialiasingOnDrag(true);
    for (int ch = 0; ch < kChannels; ++ch) {
        QCPGraph* graph = Plot->addGraph(Plot->xAxis, Plot->yAxis);
        // Cosmetic one-pixel lines without antialiasing: a bucket's minimum
        // and maximum make a vertical stroke per pixel, which antialiased
        // wide pens draw several times slower.
        QPen pen(kColours[ch], 1);
        graph->setAntialiased(false);
        if (ch == kChannels - 1) pen.setStyle(Qt::DashLine);
        graph->setPen(pen);
        graph->setName(QString("channel %1").arg(ch + 1));
        Series[ch] = graph;
    }
    for (int ch = 0; ch < kChannels; ++ch) {
        QCPGraph* marks = Plot->addGraph(Plot->xAxis, Plot->yAxis2);
        marks->setLineStyle(QCPGraph::lsNone);
        marks->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssTriangleInverted, kColours[ch], kColours[ch], 7));
        marks->removeFromLegend();
        Marks[ch] = marks;
    }
    for (int ch = 0; ch < kChannels; ++ch)
        for (QCPItemStraightLine*& line : Limits[ch]) {
            line = new QCPItemStraightLine(Plot);
            line->setPen(QPen(kColours[ch], 1, Qt::DashDotLine));
            line->setVisible(false);
        }
    Plot->installEventFilter(this);
    ApplyInteractions();
}

void TChartWindow::BuildStats()
{
    gridStats = new QTableWidget(kChannels, colCount, this);
    gridStats->setObjectName("gridStats");
    gridStats->setHorizontalHeaderLabels({"last", "min", "max", "mean", "run last", "run min", "run max", "run mean"});
    gridStats->horizontalHeader()->setToolTip("°C over the time shown, then over the whole run");
    gridStats->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridStats->setSelectionMode(QAbstractItemView::NoSelection);
    gridStats->setFocusPolicy(Qt::NoFocus);
    gridStats->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    gridStats->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    for (int ch = 0; ch < kChannels; ++ch) {
        auto* head = new QTableWidgetItem;
        head->setForeground(kColours[ch]);
        gridStats->setVerticalHeaderItem(ch, head);
        for (int col = 0; col < colCount; ++col) {
            auto* item = new QTableWidgetItem;
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            gridStats->setItem(ch, col, item);
        }
    }
    gridStats->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    gridStats->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int rowHeight = gridStats->verticalHeader()->defaultSectionSize();
    gridStats->setFixedHeight(gridStats->horizontalHeader()->sizeHint().height() + kChannels * rowHeight +
                              2 * gridStats->frameWidth());
}

void TChartWindow::WireEvents()
{
    connect(sbFollow, &QPushButton::toggled, this, [this](bool on) { SetFollow(on); });
    connect(cbxSpan, &QComboBox::activated, this, [this] { SetFollow(true); });
    connect(cbFixY, &QCheckBox::toggled, this, [this] {
        ApplyInteractions();
        Redraw();
    });
    connect(btnExport, &QPushButton::clicked, this, [this] { ExportPngClick(); });
    connect(Plot->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, [this] {
        if (settingRange_) return;
        // The operator zoomed or panned.
        if (following_) {
            following_ = false;
            const QSignalBlocker blocker(sbFollow);
            sbFollow->setChecked(false);
        }
        ScheduleReload();
    });
    connect(Plot, &QCustomPlot::mouseDoubleClick, this, [this](QMouseEvent* event) {
        // A double-click on the legend is two clicks on an entry.
        if (Plot->legend->visible() && Plot->legend->outerRect().contains(event->position().toPoint())) return;
        SetFollow(true);
    });
    connect(Plot, &QCustomPlot::legendClick, this, [this](QCPLegend*, QCPAbstractLegendItem* item, QMouseEvent*) {
        if (auto* entry = qobject_cast<QCPPlottableLegendItem*>(item))
            LegendClick(qobject_cast<QCPGraph*>(entry->plottable()));
    });
}

void TChartWindow::SetStore(TTrendReader read, const std::array<std::string, kChannels>& names)
{
    read_ = std::move(read);
    for (int ch = 0; ch < kChannels; ++ch) {
        const QString name = names[ch].empty() ? QString("channel %1").arg(ch + 1) : QString::fromStdString(names[ch]);
        Series[ch]->setName(name);
        gridStats->verticalHeaderItem(ch)->setText(name);
    }
    StoreChanged();
}

void TChartWindow::SetLimits(const TAlarmRules& rules)
{
    limits_ = rules;
    for (int ch = 0; ch < kChannels; ++ch) ShowLimits(ch);
    Plot->replot(QCustomPlot::rpQueuedReplot);
}

void TChartWindow::ShowLimits(int ch)
{
    const bool has = size_t(ch) < limits_.Channels.size();
    const float values[2] = {has ? limits_.Channels[size_t(ch)].Low : NAN,
                             has ? limits_.Channels[size_t(ch)].High : NAN};
    for (int k = 0; k < 2; ++k) {
        Limits[ch][k]->point1->setCoords(0, values[k]);
        Limits[ch][k]->point2->setCoords(1, values[k]);
        Limits[ch][k]->setVisible(!std::isnan(values[k]) && Series[ch]->visible());
    }
}

void TChartWindow::StoreChanged()
{
    if (!isVisible()) {
        stale_ = true;
        return;
    }
    Redraw();
}

void TChartWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (stale_) Redraw();
}

bool TChartWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Plot) {
        if (event->type() == QEvent::ToolTip) {
            auto* help = static_cast<QHelpEvent*>(event);
            const QString tip = TipAt(help->pos());
            if (tip.isEmpty())
                QToolTip::hideText();
            else
                QToolTip::showText(help->globalPos(), tip, Plot);
            return true;
        }
        // A wider plot draws more points.
        if (event->type() == QEvent::Resize) ScheduleReload();
    }
    return QWidget::eventFilter(watched, event);
}

// ------------------------------------------------------------------ ranges

int TChartWindow::FollowMinutes() const
{
    return cbxSpan->currentData().toInt();
}

bool TChartWindow::YFixed() const
{
    return cbFixY->isChecked();
}

void TChartWindow::ApplyInteractions()
{
    const Qt::Orientations axes = YFixed() ? Qt::Horizontal | Qt::Vertical : Qt::Horizontal;
    Plot->axisRect()->setRangeDrag(axes);
    Plot->axisRect()->setRangeZoom(axes);
}

void TChartWindow::SetFollow(bool on)
{
    following_ = on;
    {
        const QSignalBlocker blocker(sbFollow);
        sbFollow->setChecked(on);
    }
    if (on) Redraw();
}

void TChartWindow::ShowRange(int64_t fromMs, int64_t toMs)
{
    following_ = false;
    {
        const QSignalBlocker blocker(sbFollow);
        sbFollow->setChecked(false);
    }
    SetXRange(double(fromMs) / 1000, double(toMs) / 1000);
    Redraw();
}

void TChartWindow::SetXRange(double fromS, double toS)
{
    settingRange_ = true;
    Plot->xAxis->setRange(fromS, toS);
    settingRange_ = false;
}

int64_t TChartWindow::ViewFromMs() const
{
    return std::llround(Plot->xAxis->range().lower * 1000);
}

int64_t TChartWindow::ViewToMs() const
{
    return std::llround(Plot->xAxis->range().upper * 1000);
}

size_t TChartWindow::MaxPoints() const
{
    return size_t(kPointsPerPixel) * size_t(std::max(Plot->width(), 100));
}

// The last FollowMinutes() up to the run's last sample; before the first
// sample, up to now.
void TChartWindow::FollowRange()
{
    int64_t end = QDateTime::currentMSecsSinceEpoch();
    if (read_)
        read_([&end](const TTrendStore& store) {
            if (!store.Empty()) end = store.LastTimeMs();
        });
    const double endS = double(end) / 1000;
    SetXRange(endS - 60.0 * FollowMinutes(), endS);
}

// ------------------------------------------------------------------ drawing

void TChartWindow::ScheduleReload()
{
    if (reloadQueued_) return;
    reloadQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            reloadQueued_ = false;
            if (isVisible())
                Redraw();
            else
                stale_ = true; // hidden meanwhile: redrawn when shown
        },
        Qt::QueuedConnection);
}

void TChartWindow::Redraw(bool immediately)
{
    stale_ = false;
    if (following_) FollowRange();
    // The time labels say as much as the span needs.
    const double span = Plot->xAxis->range().size();
    auto ticker = qSharedPointerDynamicCast<QCPAxisTickerDateTime>(Plot->xAxis->ticker());
    if (ticker) ticker->setDateTimeFormat(span <= 2 * 86400 ? "HH:mm:ss" : "MM-dd\nHH:mm");
    LoadSeries();
    if (!YFixed()) ScaleY();
    FillStats();
    // A queued replot draws once however many changes came before it.
    Plot->replot(immediately ? QCustomPlot::rpImmediateRefresh : QCustomPlot::rpQueuedReplot);
}

TChartWindow::TRequest TChartWindow::LastRequest() const
{
    return request_;
}

void TChartWindow::LoadSeries()
{
    const int64_t from = ViewFromMs();
    const int64_t to = ViewToMs();
    const int64_t pad = (to - from) / kPadDivisor;
    request_ = {from - pad, to + pad, MaxPoints() * size_t(kPadDivisor + 2) / size_t(kPadDivisor)};
    std::array<std::vector<TTrendStore::TPoint>, kChannels> points;
    std::array<std::vector<int64_t>, kChannels> marks;
    if (read_)
        read_([&](const TTrendStore& store) {
            for (int ch = 0; ch < kChannels; ++ch) {
                points[ch] = store.Series(ch, request_.FromMs, request_.ToMs, request_.MaxPoints);
                marks[ch] =
                    store.OutOfRangeMarks(ch, request_.FromMs, request_.ToMs, request_.MaxPoints / kMarkThinning);
            }
        });
    QVector<double> keys, values;
    for (int ch = 0; ch < kChannels; ++ch) {
        keys.clear();
        values.clear();
        keys.reserve(qsizetype(points[ch].size()));
        values.reserve(qsizetype(points[ch].size()));
        for (const TTrendStore::TPoint& p : points[ch]) {
            keys.push_back(double(p.TimeMs) / 1000);
            // QCustomPlot leaves a gap at a NaN value.
            values.push_back(double(p.Value));
        }
        Series[ch]->setData(keys, values, true);

        keys.clear();
        values.clear();
        for (const int64_t t : marks[ch]) {
            keys.push_back(double(t) / 1000);
            values.push_back(MarkRow(ch));
        }
        Marks[ch]->setData(keys, values, true);
    }
}

void TChartWindow::ScaleY()
{
    const QCPRange shown = Plot->xAxis->range();
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    // Finite values only: the plot's own range finder passes an infinite
    // one, which the axis refuses, and the scale would then stay where it is.
    for (QCPGraph* graph : Series) {
        if (!graph->visible()) continue;
        const QCPGraphDataContainer& data = *graph->data();
        for (auto it = data.findBegin(shown.lower, false); it != data.constEnd() && it->key <= shown.upper; ++it) {
            if (it->key < shown.lower || !std::isfinite(it->value)) continue;
            low = std::min(low, it->value);
            high = std::max(high, it->value);
        }
    }
    if (low > high) return; // nothing to scale to: the axis stays
    if (high - low < kMinYSpan) {
        const double centre = (low + high) / 2;
        low = centre - kMinYSpan / 2;
        high = centre + kMinYSpan / 2;
    }
    const double margin = (high - low) * kYMargin;
    Plot->yAxis->setRange(low - margin, high + margin);
}

QString TChartWindow::Reading(double value, uint64_t count) const
{
    return count ? QString::fromStdString(FormatReading(float(value), locale_)) : QString("-");
}

void TChartWindow::FillStats()
{
    const int64_t from = ViewFromMs();
    const int64_t to = ViewToMs();
    std::array<TTrendStore::TStats, kChannels> views, runs;
    if (read_)
        read_([&](const TTrendStore& store) {
            for (int ch = 0; ch < kChannels; ++ch) {
                views[ch] = store.Stats(ch, from, to);
                runs[ch] = store.RunStats(ch);
            }
        });
    for (int ch = 0; ch < kChannels; ++ch) {
        const TTrendStore::TStats& view = views[ch];
        const TTrendStore::TStats& run = runs[ch];
        const double cells[colCount] = {view.Last, view.Min, view.Max, view.Mean, run.Last, run.Min, run.Max, run.Mean};
        for (int col = 0; col < colCount; ++col)
            gridStats->item(ch, col)->setText(Reading(cells[col], col < colRunLast ? view.Count : run.Count));
    }
}

void TChartWindow::LegendClick(QCPGraph* graph)
{
    const auto at = std::find(Series.begin(), Series.end(), graph);
    if (at == Series.end()) return;
    const int ch = int(at - Series.begin());
    const bool show = !graph->visible();
    graph->setVisible(show);
    Marks[ch]->setVisible(show);
    ShowLimits(ch);
    if (QCPPlottableLegendItem* entry = Plot->legend->itemWithPlottable(graph))
        entry->setTextColor(show ? Qt::black : kHiddenText);
    if (!YFixed()) ScaleY();
    Plot->replot(QCustomPlot::rpQueuedReplot);
}

// ------------------------------------------------------------ hover, export

QString TChartWindow::TipAt(const QPoint& at) const
{
    if (!read_ || !Plot->axisRect()->rect().contains(at)) return QString();
    const int64_t ms = std::llround(Plot->xAxis->pixelToCoord(at.x()) * 1000);
    bool inRun = false;
    uint32_t second = 0;
    read_([&](const TTrendStore& store) {
        inRun = !store.Empty() && ms >= store.FirstTimeMs() && ms <= store.LastTimeMs();
        if (inRun) second = store.SecondAt(ms);
    });
    if (!inRun) return QString();
    return QString("%1\nsecond %2 of the run")
        .arg(QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime).toString("yyyy-MM-dd HH:mm:ss"))
        .arg(second);
}

void TChartWindow::ExportPngClick()
{
    // Built on first use, as the log's save dialog is.
    if (!SaveDialog) {
        SaveDialog = new QFileDialog(this);
        SaveDialog->setObjectName("SaveDialog");
        SaveDialog->setOptions(QFileDialog::DontUseNativeDialog);
        SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
        SaveDialog->setFileMode(QFileDialog::AnyFile);
        SaveDialog->setWindowModality(Qt::ApplicationModal);
        SaveDialog->setNameFilter("PNG images (*.png)");
        SaveDialog->setDefaultSuffix("png");
        SaveDialog->setDirectory(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
    }
    SaveDialog->selectFile(lastExport_.isEmpty() ? QString("kelvara-chart.png") : lastExport_);
    if (!options_.ExecSaveDialog(*SaveDialog)) return;
    const QStringList chosen = SaveDialog->selectedFiles();
    if (chosen.isEmpty()) return;
    lastExport_ = chosen.first();

    QFile file(lastExport_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        options_.ShowFailure(QString("Cannot create file \"%1\". %2").arg(lastExport_, file.errorString()));
        return;
    }
    const bool encoded = Plot->toPixmap().save(&file, "PNG");
    // The file holds the last bytes in its buffer until it is closed: a disk
    // that fills up then shows only in the close's error.
    file.close();
    if (!encoded || file.error() != QFileDevice::NoError)
        options_.ShowFailure(QString("Cannot write file \"%1\". %2").arg(lastExport_, file.errorString()));
}
