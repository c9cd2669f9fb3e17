#include "trend/TrendPlot.h"

#include <QDateTime>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "display/StatusText.h"
#include "trend/BatteryColors.h"
#include "trend/MinMaxReducer.h"
#include "trend/TimeAxis.h"

namespace {

constexpr double kLeftMargin = 56;
constexpr double kRightMargin = 14;
constexpr double kPlotSpacing = 10;
constexpr double kHoverRadius = 24;
constexpr int kTickSpacingPx = 110;
constexpr int kValueTicks = 5;
// A plot keeps at most this many points per pixel column and line; live readings beyond that
// are folded into their columns' minimum and maximum.
constexpr int kCompactFactor = 4;

const QColor kFrameColor(0x80, 0x80, 0x80);
const QColor kGridColor(0xe4, 0xe4, 0xe4);

double ValueOf(const TrendSample& s, TrendPlotKind kind) {
    return kind == TrendPlotKind::Voltage ? s.Volts() : s.Celsius();
}

// Range of the points of `line` that lie inside [from, to], with one neighbour on either side
// so a line leaving the plot is drawn up to its edge.
std::pair<std::size_t, std::size_t> VisibleSlice(const TrendSeries& line, const TimeRange& range) {
    const auto byTime = [](const TrendSample& s, qint64 t) { return s.tMs < t; };
    auto first = std::lower_bound(line.begin(), line.end(), range.fromMs, byTime);
    auto last = std::lower_bound(first, line.end(), range.toMs + 1, byTime);
    if (first != line.begin()) --first;
    if (last != line.end()) ++last;
    return {std::size_t(first - line.begin()), std::size_t(last - line.begin())};
}

double NiceStep(double rough) {
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= rough) return m * power;
    return 10 * power;
}

// As many decimals as the tick step needs (steps are 1, 2 or 5 times a power of ten).
QString ValueText(double v, double step) {
    const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
    return QString::number(v, 'f', decimals);
}

}  // namespace

QString DescribeReading(BatteryId battery, const TrendSample& reading) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(reading.tMs);
    return QStringLiteral("%1\n%2\n电压 %3 V\n温度 %4 ℃\n状态 %5")
        .arg(BatteryName(battery), local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
             QString::number(reading.Volts()), QString::number(reading.Celsius()),
             StatusText(reading.status));
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
    if (announce) emit viewChanged(visible_);
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

TrendPlot::Line* TrendPlot::Find(BatteryId battery) {
    for (Line& line : lines_)
        if (line.battery == battery) return &line;
    return nullptr;
}

void TrendPlot::AppendReading(BatteryId battery, const TrendSample& reading) {
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
    const ReductionSpec spec{span, columns, gapMs_, true};
    line.voltage = ReduceMinMax(line.voltage, spec).voltage;
    line.temperature = ReduceMinMax(line.temperature, spec).temperature;
    if (int(line.marks.size()) > kCompactFactor * columns)
        line.marks = ReduceMinMax(line.marks, spec).marks;
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

std::vector<BatteryId> TrendPlot::PlottedBatteries() const {
    std::vector<BatteryId> ids;
    for (const Line& line : lines_) ids.push_back(line.battery);
    return ids;
}

const TrendSeries& TrendPlot::Points(BatteryId battery, TrendPlotKind kind) const {
    static const TrendSeries kNone;
    for (const Line& line : lines_)
        if (line.battery == battery)
            return kind == TrendPlotKind::Voltage ? line.voltage : line.temperature;
    return kNone;
}

const TrendSeries& TrendPlot::Marks(BatteryId battery) const {
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

void TrendPlot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    PaintLegend(painter);
    const std::vector<TimeTick> ticks =
        TimeAxisTicks(visible_, std::max(2, int(voltageArea_.width()) / kTickSpacingPx), zone_);
    PaintPlot(painter, TrendPlotKind::Voltage, ticks);
    PaintPlot(painter, TrendPlotKind::Temperature, ticks);
    PaintTimeLabels(painter, ticks);
    PaintHover(painter);
    if (busy_) {
        painter.setPen(kFrameColor);
        painter.drawText(voltageArea_.adjusted(0, 4, -6, 0), Qt::AlignRight | Qt::AlignTop,
                         QStringLiteral("正在读取…"));
    }
}

void TrendPlot::PaintLegend(QPainter& painter) const {
    const QFontMetricsF metrics(font());
    double x = legendArea_.left();
    for (const Line& line : lines_) {
        const QString name = BatteryName(line.battery);
        const QRectF swatch(x, legendArea_.center().y() - 4, 14, 8);
        painter.fillRect(swatch, BatteryColor(line.battery));
        x = swatch.right() + 4;
        painter.setPen(Qt::black);
        painter.drawText(QPointF(x, legendArea_.center().y() + metrics.ascent() / 2 - 1), name);
        x += metrics.horizontalAdvance(name) + 12;
    }
}

void TrendPlot::PaintPlot(QPainter& painter, TrendPlotKind kind,
                          const std::vector<TimeTick>& ticks) const {
    const QRectF area = Axis(kind).area;
    const ValueScale scale = ScaleFor(kind);
    const auto yOf = [&](double v) {
        return area.bottom() - (v - scale.min) * area.height() / (scale.max - scale.min);
    };
    const QFontMetricsF metrics(font());

    // Grid: value lines with labels on the left, time lines at the axis ticks.
    painter.setPen(kGridColor);
    for (const TimeTick& tick : ticks)
        painter.drawLine(QPointF(XOf(tick.tMs), area.top()), QPointF(XOf(tick.tMs), area.bottom()));
    for (double v = scale.min; v <= scale.max + scale.step / 2; v += scale.step) {
        painter.setPen(kGridColor);
        painter.drawLine(QPointF(area.left(), yOf(v)), QPointF(area.right(), yOf(v)));
        painter.setPen(Qt::black);
        const QRectF label(0, yOf(v) - metrics.height() / 2, area.left() - 4, metrics.height());
        painter.drawText(label, Qt::AlignRight | Qt::AlignVCenter, ValueText(v, scale.step));
    }

    painter.save();
    painter.setClipRect(area.toRect().adjusted(0, -1, 1, 1));
    std::vector<QPointF> stretch;
    for (const Line& line : lines_) {
        const TrendSeries& points =
            kind == TrendPlotKind::Voltage ? line.voltage : line.temperature;
        const auto [first, last] = VisibleSlice(points, visible_);
        // A one-pixel cosmetic pen: wide pens send thousands of vertices through the stroker.
        QPen pen(BatteryColor(line.battery), 1);
        pen.setCosmetic(true);
        painter.setPen(pen);
        stretch.clear();
        const auto flush = [&] {
            if (stretch.size() == 1) painter.drawPoint(stretch.front());
            if (stretch.size() > 1) painter.drawPolyline(stretch.data(), int(stretch.size()));
            stretch.clear();
        };
        for (std::size_t i = first; i < last; ++i) {
            if (points[i].breakBefore) flush();
            // On whole pixels, repeats dropped: a dense line revisits the same pixel often.
            const QPointF at(std::round(XOf(points[i].tMs)),
                             std::round(yOf(ValueOf(points[i], kind))));
            if (stretch.empty() || stretch.back() != at) stretch.push_back(at);
        }
        flush();
        // Abnormal readings: a square in the battery's colour, framed in red, on the line.
        // Squares, not circles: round outlines go through the stroker and cost ten times more.
        const auto [markFirst, markLast] = VisibleSlice(line.marks, visible_);
        QPen frame(Qt::red, 1);
        frame.setCosmetic(true);
        painter.setPen(frame);
        painter.setBrush(BatteryColor(line.battery));
        for (std::size_t i = markFirst; i < markLast; ++i) {
            const TrendSample& mark = line.marks[i];
            const QPoint at(int(std::lround(XOf(mark.tMs))),
                            int(std::lround(yOf(ValueOf(mark, kind)))));
            painter.drawRect(QRect(at - QPoint(3, 3), QSize(6, 6)));
        }
        painter.setBrush(Qt::NoBrush);
    }
    painter.restore();

    painter.setPen(kFrameColor);
    painter.drawRect(area);
    painter.setPen(Qt::black);
    const QString title =
        kind == TrendPlotKind::Voltage ? QStringLiteral("电压 (V)") : QStringLiteral("温度 (℃)");
    painter.drawText(area.adjusted(6, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, title);
}

void TrendPlot::PaintTimeLabels(QPainter& painter, const std::vector<TimeTick>& ticks) const {
    const QFontMetricsF metrics(font());
    const double top = temperatureArea_.bottom() + 3;
    painter.setPen(Qt::black);
    for (const TimeTick& tick : ticks) {
        const double x = XOf(tick.tMs);
        painter.drawLine(QPointF(x, temperatureArea_.bottom()), QPointF(x, top));
        const QString text = tick.context.isEmpty() ? tick.text : tick.text + '\n' + tick.context;
        const double w = std::max(metrics.horizontalAdvance(tick.text),
                                  metrics.horizontalAdvance(tick.context)) +
                         4;
        const QRectF box(std::clamp(x - w / 2, 0.0, width() - w), top, w, 2 * metrics.height());
        painter.drawText(box, Qt::AlignHCenter | Qt::AlignTop, text);
    }
}

void TrendPlot::PaintHover(QPainter& painter) const {
    if (!hovered_) return;
    const TrendPlotKind kind = hovered_->plot;
    const QRectF area = Axis(kind).area;
    const ValueScale scale = ScaleFor(kind);
    const QPointF at(XOf(hovered_->reading.tMs),
                     area.bottom() - (ValueOf(hovered_->reading, kind) - scale.min) *
                                         area.height() / (scale.max - scale.min));
    painter.setPen(QPen(BatteryColor(hovered_->battery), 2));
    painter.drawEllipse(at, 5, 5);

    const QString text = DescribeReading(hovered_->battery, hovered_->reading);
    const QFontMetricsF metrics(font());
    QRectF box = metrics.boundingRect(QRectF(0, 0, 400, 400), Qt::AlignLeft, text);
    box.adjust(-6, -4, 6, 4);
    box.moveTopLeft(at + QPointF(12, 12));
    if (box.right() > width()) box.moveRight(at.x() - 12);
    if (box.bottom() > height()) box.moveBottom(at.y() - 12);
    painter.setPen(kFrameColor);
    painter.setBrush(QColor(255, 255, 225, 235));
    painter.drawRect(box);
    painter.setPen(Qt::black);
    painter.drawText(box.adjusted(6, 4, -6, -4), Qt::AlignLeft, text);
    painter.setBrush(Qt::NoBrush);
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
