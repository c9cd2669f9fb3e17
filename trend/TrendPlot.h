#pragma once

#include <QRectF>
#include <QWidget>
#include <optional>
#include <vector>

#include "battery/BatteryId.h"
#include "trend/TimeAxis.h"
#include "trend/TrendQuery.h"
#include "trend/TrendTypes.h"

enum class TrendPlotKind { Voltage, Temperature };

// One plot's place on the widget and the time range it spans, for tests and for mapping.
struct TrendPlotAxis {
    QRectF area;
    TimeRange range;
};

struct HoveredReading {
    battery::BatteryId battery;
    TrendSample reading;
    TrendPlotKind plot = TrendPlotKind::Voltage;
};

// Battery name, local time, voltage, temperature and status text, one per line.
QString DescribeReading(battery::BatteryId battery, const TrendSample& reading);

// Voltage above temperature over one shared time axis, painted with QPainter. The plot shows
// what it was last given (SetData, AppendReading) over the visible range; zooming (wheel, around
// the pointer), panning (drag) and resetting (double-click, back to the chosen range) move the
// visible range of both plots together and announce it with viewChanged, so the owner can fetch
// data at the new resolution. Everything drawn can be read back without pixels.
class TrendPlot : public QWidget {
    Q_OBJECT
public:
    static constexpr qint64 kMinimumSpanMs = 10'000;
    static constexpr double kWheelStepFactor = 0.8;  // visible span after one wheel step in

    explicit TrendPlot(QWidget* parent = nullptr);

    // The range the buttons and edits chose; also the visible range until the operator zooms.
    // Every change of the visible range by these or by the operator raises viewChanged; a live
    // slide (SetFollowLive) does not, as the new readings are already on the plot.
    void SetChosenRange(const TimeRange& range);
    TimeRange ChosenRange() const { return chosen_; }
    TimeRange VisibleRange() const { return visible_; }
    // Whether new readings past the end of the chosen range slide it along (live ranges such as
    // "the last hour"), keeping its length.
    void SetFollowLive(bool follow) { followLive_ = follow; }
    void SetGapMs(qint64 gapMs) { gapMs_ = gapMs; }
    qint64 GapMs() const { return gapMs_; }

    // Replaces what is plotted by a query result; the batteries plotted are the result's.
    void SetData(const TrendResult& result);
    // Adds a new reading of a plotted battery at the end of its lines; older readings than the
    // battery's last one are ignored.
    void AppendReading(battery::BatteryId battery, const TrendSample& reading);
    void Clear();
    void SetBusy(bool busy);
    bool Busy() const { return busy_; }

    void ZoomAround(qint64 tMs, double spanFactor);
    void PanBy(qint64 deltaMs);
    void ResetView();

    // The pixel columns a query should reduce to: the plot's inner width.
    int ColumnCount() const;
    TrendPlotAxis Axis(TrendPlotKind kind) const;
    std::vector<battery::BatteryId> PlottedBatteries() const;
    // The points of one battery's line (empty for a battery not plotted), all of them, not only
    // the visible ones.
    const TrendSeries& Points(battery::BatteryId battery, TrendPlotKind kind) const;
    const TrendSeries& Marks(battery::BatteryId battery) const;
    std::optional<HoveredReading> Hovered() const { return hovered_; }
    std::size_t HeldBytes() const;

    // Both plots, axes and legend into one PNG file; false when it cannot be written.
    bool SavePicture(const QString& path);
    QImage Render();

signals:
    void ViewChanged(const TimeRange& visible);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    struct Line {
        battery::BatteryId battery;
        TrendSeries voltage;
        TrendSeries temperature;
        TrendSeries marks;
    };
    struct ValueScale {
        double min = 0;
        double max = 1;
        double step = 1;
    };

    // `announce`: tell the owner (viewChanged), so it fetches data; a live slide does not.
    void SetVisible(const TimeRange& range, bool announce = true);
    void Layout();
    double XOf(qint64 tMs) const;
    qint64 TimeAtX(double x) const;
    ValueScale ScaleFor(TrendPlotKind kind) const;
    void CompactIfLarge(Line& line);
    void UpdateHover(const QPointF& pos);
    void PaintPlot(QPainter& painter, TrendPlotKind kind, const std::vector<TimeTick>& ticks) const;
    void PaintTimeLabels(QPainter& painter, const std::vector<TimeTick>& ticks) const;
    void PaintLegend(QPainter& painter) const;
    void PaintHover(QPainter& painter) const;
    Line* Find(battery::BatteryId battery);

    std::vector<Line> lines_;
    TimeRange chosen_;
    TimeRange visible_;
    TimeRange loaded_;
    bool followLive_ = false;
    qint64 gapMs_ = 30'000;
    bool busy_ = false;
    QRectF voltageArea_;
    QRectF temperatureArea_;
    QRectF legendArea_;
    std::optional<QPointF> dragFrom_;
    TimeRange dragStartRange_;
    std::optional<HoveredReading> hovered_;
    QPointF hoverPos_;
    QTimeZone zone_ = QTimeZone::systemTimeZone();
};
