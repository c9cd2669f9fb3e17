#include "trend/TrendPlot.h"

#include <QDateTime>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "battery/Status.h"
#include "trend/BatteryColors.h"
#include "trend/MinMaxReducer.h"
#include "trend/TimeAxis.h"
#include "trend/TrendPlotParts.h"

using namespace trendplot;

QString DescribeReading(battery::BatteryId battery, const TrendSample& reading) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(reading.tMs);
    return QStringLiteral("%1\n%2\n电压 %3 V\n温度 %4 ℃\n状态 %5")
        .arg(battery::BatteryLabel(battery), local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
             QString::number(reading.Volts()), QString::number(reading.Celsius()),
             battery::StatusText(reading.status));
}

TrendPlot::TrendPlot(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 240);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    chosen_ = visible_ = {now - 3600'000, now};
    Layout();
}

void TrendPlot::SetChosenRange(const TimeRange& range) {
    if (range.Span() <= 0) return;
    chosen_ = range;
    SetVisible(range);
}

void TrendPlot::SetVisible(const TimeRange& range, bool announce) {
    TimeRange next = range;
    if (next.Span() < kMinimumSpanMs) {
        const qint64 middle = next.fromMs + next.Span() / 2;
        next = {middle - kMinimumSpanMs / 2, middle + kMinimumSpanMs / 2};
    }
    if (next == visible_) return;
    visible_ = next;
    if (hovered_) UpdateHover(hoverPos_);
    update();
    if (announce) emit ViewChanged(visible_);
}

void TrendPlot::SetData(const TrendResult& result) {
    lines_.clear();
    for (const BatteryTrend& battery : result.batteries) {
        lines_.push_back({battery.battery, battery.reduced.voltage, battery.reduced.temperature,
                          battery.reduced.marks});
    }
    loaded_ = result.request.range;
    gapMs_ = result.request.gapMs;
    hovered_.reset();
    update();
}

void TrendPlot::Clear() {
    lines_.clear();
    hovered_.reset();
    update();
}

TrendPlot::Line* TrendPlot::Find(battery::BatteryId battery) {
    for (Line& line : lines_)
        if (line.battery == battery) return &line;
    return nullptr;
}

void TrendPlot::AppendReading(battery::BatteryId battery, const TrendSample& reading) {
    Line* line = Find(battery);
    if (line == nullptr) return;
    TrendSample sample = reading;
    if (!line->voltage.empty()) {
        const qint64 last = line->voltage.back().tMs;
        if (sample.tMs <= last) return;
        sample.breakBefore = IsGap(last, sample.tMs, gapMs_);
    } else {
        sample.breakBefore = false;
    }
    line->voltage.push_back(sample);
    line->temperature.push_back(sample);
    if (sample.status != kStatusNormal)
        line->marks.push_back(
            {sample.tMs, sample.voltageDv, sample.temperatureDc, sample.status, false});
    loaded_.toMs = std::max(loaded_.toMs, sample.tMs);

    if (followLive_ && sample.tMs > chosen_.toMs) {
        const qint64 shift = sample.tMs - chosen_.toMs;
        const bool viewAtEnd = visible_.toMs >= chosen_.toMs;
        chosen_ = {chosen_.fromMs + shift, chosen_.toMs + shift};
        if (viewAtEnd) SetVisible({visible_.fromMs + shift, visible_.toMs + shift}, false);
    }
    CompactIfLarge(*line);
    update();
}

void TrendPlot::CompactIfLarge(Line& line) {
    const int columns = ColumnCount();
    if (int(line.voltage.size()) <= kCompactFactor * columns) return;
    const TimeRange span{line.voltage.front().tMs, line.voltage.back().tMs};
    const ReductionPlan plan{span, columns, gapMs_, true};
    line.voltage = ReduceMinMax(line.voltage, plan).voltage;
    line.temperature = ReduceMinMax(line.temperature, plan).temperature;
    if (int(line.marks.size()) > kCompactFactor * columns)
        line.marks = ReduceMinMax(line.marks, plan).marks;
}

void TrendPlot::SetBusy(bool busy) {
    if (busy_ == busy) return;
    busy_ = busy;
    update();
}

void TrendPlot::ZoomAround(qint64 tMs, double spanFactor) {
    if (spanFactor <= 0) return;
    const double from = double(tMs) - double(tMs - visible_.fromMs) * spanFactor;
    const double to = double(tMs) + double(visible_.toMs - tMs) * spanFactor;
    SetVisible({qint64(std::llround(from)), qint64(std::llround(to))});
}

void TrendPlot::PanBy(qint64 deltaMs) {
    SetVisible({visible_.fromMs + deltaMs, visible_.toMs + deltaMs});
}

void TrendPlot::ResetView() { SetVisible(chosen_); }

int TrendPlot::ColumnCount() const { return std::max(1, int(voltageArea_.width())); }

TrendPlotAxis TrendPlot::Axis(TrendPlotKind kind) const {
    return {kind == TrendPlotKind::Voltage ? voltageArea_ : temperatureArea_, visible_};
}

std::vector<battery::BatteryId> TrendPlot::PlottedBatteries() const {
    std::vector<battery::BatteryId> ids;
    for (const Line& line : lines_) ids.push_back(line.battery);
    return ids;
}

const TrendSeries& TrendPlot::Points(battery::BatteryId battery, TrendPlotKind kind) const {
    static const TrendSeries kNone;
    for (const Line& line : lines_)
        if (line.battery == battery)
            return kind == TrendPlotKind::Voltage ? line.voltage : line.temperature;
    return kNone;
}

const TrendSeries& TrendPlot::Marks(battery::BatteryId battery) const {
    static const TrendSeries kNone;
    for (const Line& line : lines_)
        if (line.battery == battery) return line.marks;
    return kNone;
}

std::size_t TrendPlot::HeldBytes() const {
    std::size_t bytes = sizeof(*this) + lines_.capacity() * sizeof(Line);
    for (const Line& line : lines_)
        bytes += (line.voltage.capacity() + line.temperature.capacity() + line.marks.capacity()) *
                 sizeof(TrendSample);
    return bytes;
}

void TrendPlot::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Layout();
}

void TrendPlot::Layout() {
    const QFontMetricsF metrics(font());
    const double line = metrics.height();
    legendArea_ = QRectF(kLeftMargin, 2, width() - kLeftMargin - kRightMargin, line + 4);
    const double top = legendArea_.bottom() + 2;
    const double bottom = height() - 2 * line - 8;  // two lines of time labels below
    const double plotHeight = std::max(20.0, (bottom - top - kPlotSpacing) / 2);
    const double plotWidth = std::max(20.0, width() - kLeftMargin - kRightMargin);
    // Whole pixels: a fractional clip rectangle sends every span through the slow clip path.
    voltageArea_ = QRect(int(kLeftMargin), int(top), int(plotWidth), int(plotHeight));
    temperatureArea_ = QRect(int(kLeftMargin), int(voltageArea_.bottom() + kPlotSpacing),
                             int(plotWidth), int(plotHeight));
}

double TrendPlot::XOf(qint64 tMs) const {
    const double span = double(std::max<qint64>(1, visible_.Span()));
    return voltageArea_.left() + double(tMs - visible_.fromMs) * voltageArea_.width() / span;
}

qint64 TrendPlot::TimeAtX(double x) const {
    const double share = (x - voltageArea_.left()) / std::max(1.0, voltageArea_.width());
    return visible_.fromMs + qint64(std::llround(share * double(visible_.Span())));
}

TrendPlot::ValueScale TrendPlot::ScaleFor(TrendPlotKind kind) const {
    double low = INFINITY;
    double high = -INFINITY;
    for (const Line& line : lines_) {
        const TrendSeries& points =
            kind == TrendPlotKind::Voltage ? line.voltage : line.temperature;
        const auto [first, last] = VisibleSlice(points, visible_);
        for (std::size_t i = first; i < last; ++i) {
            const double v = ValueOf(points[i], kind);
            low = std::min(low, v);
            high = std::max(high, v);
        }
    }
    if (!std::isfinite(low)) {
        low = 0;
        high = kind == TrendPlotKind::Voltage ? 15 : 50;
    }
    if (high - low < 1) {
        low -= 0.5;
        high += 0.5;
    }
    const double step = NiceStep((high - low) / kValueTicks);
    return {std::floor(low / step) * step, std::ceil(high / step) * step, step};
}

void TrendPlot::UpdateHover(const QPointF& pos) {
    hoverPos_ = pos;
    std::optional<HoveredReading> found;
    for (const TrendPlotKind kind : {TrendPlotKind::Voltage, TrendPlotKind::Temperature}) {
        const QRectF area = Axis(kind).area;
        if (!area.contains(pos)) continue;
        const ValueScale scale = ScaleFor(kind);
        double best = kHoverRadius * kHoverRadius;
        for (const Line& line : lines_) {
            const TrendSeries& points =
                kind == TrendPlotKind::Voltage ? line.voltage : line.temperature;
            const TimeRange near{TimeAtX(pos.x() - kHoverRadius), TimeAtX(pos.x() + kHoverRadius)};
            const auto [first, last] = VisibleSlice(points, near);
            for (std::size_t i = first; i < last; ++i) {
                const double dx = XOf(points[i].tMs) - pos.x();
                const double dy = area.bottom() -
                                  (ValueOf(points[i], kind) - scale.min) * area.height() /
                                      (scale.max - scale.min) -
                                  pos.y();
                if (dx * dx + dy * dy < best) {
                    best = dx * dx + dy * dy;
                    found = HoveredReading{line.battery, points[i], kind};
                }
            }
        }
    }
    const bool changed =
        found.has_value() != hovered_.has_value() ||
        (found && !(found->reading == hovered_->reading && found->battery == hovered_->battery));
    hovered_ = found;
    if (changed) update();
}

void TrendPlot::wheelEvent(QWheelEvent* event) {
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0) return;
    ZoomAround(TimeAtX(event->position().x()), std::pow(kWheelStepFactor, steps));
    event->accept();
}

void TrendPlot::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    dragFrom_ = event->position();
    dragStartRange_ = visible_;
}

void TrendPlot::mouseMoveEvent(QMouseEvent* event) {
    if (dragFrom_ && (event->buttons() & Qt::LeftButton)) {
        const double dx = event->position().x() - dragFrom_->x();
        const double msPerPixel = double(dragStartRange_.Span()) / voltageArea_.width();
        const auto shift = qint64(std::llround(-dx * msPerPixel));
        SetVisible({dragStartRange_.fromMs + shift, dragStartRange_.toMs + shift});
        return;
    }
    UpdateHover(event->position());
}

void TrendPlot::mouseReleaseEvent(QMouseEvent*) { dragFrom_.reset(); }

void TrendPlot::mouseDoubleClickEvent(QMouseEvent*) {
    dragFrom_.reset();
    ResetView();
}

void TrendPlot::leaveEvent(QEvent*) {
    if (!hovered_) return;
    hovered_.reset();
    update();
}

QImage TrendPlot::Render() {
    QImage image(size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    const auto keepHover = hovered_;
    hovered_.reset();  // the picture shows the plots, not the pointer's box
    render(&image);
    hovered_ = keepHover;
    return image;
}

bool TrendPlot::SavePicture(const QString& path) { return Render().save(path, "PNG"); }
