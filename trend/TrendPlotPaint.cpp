// The trend plot's painting: frames, grid, lines, marks, legend, time labels and the hover note.
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
#include "trend/TrendPlot.h"
#include "trend/TrendPlotParts.h"

using namespace trendplot;

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
        const QString name = battery::BatteryLabel(line.battery);
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
