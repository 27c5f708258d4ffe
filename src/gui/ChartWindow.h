// The chart of a run: the seven channels against the run's wall-clock time,
// drawn from the run's trend store. The window only draws; the readings stay
// in the store, so it can be closed and opened again at any time of a run.
#pragma once

#include "acquisition/Alarms.h"
#include "acquisition/Session.h"
#include "trend/TrendStore.h"

#include <QWidget>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QCPGraph;
class QCPItemStraightLine;
class QCustomPlot;
class QFileDialog;
class QPushButton;
class QTableWidget;

// What the chart takes from the window that opens it. Every member has a
// working default.
struct TChartOptions {
    // Runs the prepared save dialog modally; true when the operator
    // confirmed a name. Empty means the dialog's own exec().
    std::function<bool(QFileDialog& dialog)> ExecSaveDialog;
    // Shows a failure's text; empty means a message box.
    std::function<void(const QString& text)> ShowFailure;
};

class TChartWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kChannels = kelvara::TTrendStore::kChannels;
    static constexpr int kDefaultFollowMinutes = 10;
    // Reduced points drawn per pixel of the plot's width: a bucket's minimum
    // and maximum.
    static constexpr int kPointsPerPixel = 2;
    // Columns of the statistics table: over the visible range, then over the
    // whole run.
    enum TStatColumn { colLast, colMin, colMax, colMean, colRunLast, colRunMin, colRunMax, colRunMean, colCount };

    explicit TChartWindow(kelvara::TLocaleSettings locale, TChartOptions options = {}, QWidget* parent = nullptr);
    ~TChartWindow() override;

    // How to read the store drawn, and the channels' names; none draws
    // nothing. What the reader reads must stay alive until it is replaced.
    void SetStore(kelvara::TTrendReader read, const std::array<std::string, kChannels>& names);
    bool HasStore() const { return bool(read_); }
    // The run's alarm limits, drawn across the plot in their channels'
    // colours; a channel hidden hides its limits too.
    void SetLimits(const kelvara::TAlarmRules& rules);
    // The store changed (a scan added a sample, a run started): redraws when
    // shown, at once when it is next shown otherwise.
    void StoreChanged();
    // Reloads the reduced series for the time range shown, scales Y and
    // fills the statistics; the replot follows from the event loop, or at
    // once when asked.
    void Redraw(bool immediately = false);

    // Follow mode shows the last FollowMinutes() of the run and moves with
    // it. A zoom or pan by the mouse leaves it; a double-click on the plot or
    // the Follow button returns to it.
    bool Following() const { return following_; }
    void SetFollow(bool on);
    int FollowMinutes() const;
    // Shows a fixed time range and leaves follow mode.
    void ShowRange(int64_t fromMs, int64_t toMs);
    // The time range shown, in ms since the epoch.
    int64_t ViewFromMs() const;
    int64_t ViewToMs() const;
    // The most points a series is reduced to for the visible range at the
    // current plot width.
    size_t MaxPoints() const;
    // What the series were last loaded with: the visible range and a little
    // beyond each edge, reduced at the same density.
    struct TRequest {
        int64_t FromMs = 0;
        int64_t ToMs = 0;
        size_t MaxPoints = 0;
    };
    TRequest LastRequest() const;
    // Y follows the visible data unless the operator fixes it; while it is
    // fixed, the mouse zooms and pans Y too.
    bool YFixed() const;

    // The hover text at a point of the plot: wall-clock time and the second
    // of the run of the nearest scan; empty outside the run.
    QString TipAt(const QPoint& at) const;
    // Asks for a file name and writes the plot there as PNG.
    void ExportPngClick();

    // Controls, owned by the widget tree.
    QCustomPlot* Plot = nullptr;
    QPushButton* sbFollow = nullptr;
    QComboBox* cbxSpan = nullptr;
    QCheckBox* cbFixY = nullptr;
    QPushButton* btnExport = nullptr;
    QTableWidget* gridStats = nullptr;
    QFileDialog* SaveDialog = nullptr;
    std::array<QCPGraph*, kChannels> Series{};
    // Where a channel was out of the table: markers along the top of the
    // plot, on an axis of their own that always spans the plot's height.
    std::array<QCPGraph*, kChannels> Marks{};
    // Each channel's low and high limit, hidden when it has none.
    std::array<std::array<QCPItemStraightLine*, 2>, kChannels> Limits{};

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void BuildPlot();
    void BuildStats();
    void WireEvents();
    void SetXRange(double fromS, double toS);
    void FollowRange();
    void LoadSeries();
    void ScaleY();
    void FillStats();
    void ApplyInteractions();
    void LegendClick(QCPGraph* graph);
    void ShowLimits(int ch);
    void ScheduleReload();
    // A cell of the statistics: the reading's text, "-" without readings.
    QString Reading(double value, uint64_t count) const;

    kelvara::TLocaleSettings locale_;
    TChartOptions options_;
    kelvara::TTrendReader read_;
    bool following_ = true;
    bool settingRange_ = false; // the range changes by the window's own hand
    bool reloadQueued_ = false;
    bool stale_ = true; // the store changed while the window was hidden
    TRequest request_;
    kelvara::TAlarmRules limits_;
    QString lastExport_;
};
