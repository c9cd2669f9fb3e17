#include "widgets/BarChart.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {

constexpr double kBottomMargin = 5;
constexpr double kCategoryStrip = 14;  // room under the plot for the owner's category labels
constexpr double kArrowLength = 20;    // line from the top of a bar to its value mark
constexpr double kDepth = 4;           // offset of the top and side faces of a bar
constexpr double kTickLength = 4;
constexpr int kAxisFontPixels = 11;
constexpr int kTitleFontPixels = 12;
constexpr double kDefaultSlotCount = 6;  // without label centres x runs 0.5..6.5

const QColor kBlue(0x00, 0x00, 0xFF);

// Colours handed to series added without one, in order of preference.
const QColor kPalette[] = {
    QColor(0xFF, 0x00, 0x00), QColor(0x00, 0x80, 0x00), QColor(0xFF, 0xFF, 0x00),
    QColor(0x00, 0x00, 0xFF), QColor(0xFF, 0xFF, 0xFF), QColor(0x80, 0x80, 0x80),
    QColor(0xFF, 0x00, 0xFF), QColor(0x00, 0x80, 0x80), QColor(0x00, 0x00, 0x80),
    QColor(0x80, 0x00, 0x00), QColor(0x00, 0xFF, 0x00), QColor(0x80, 0x80, 0x00),
    QColor(0x80, 0x00, 0x80), QColor(0xC0, 0xC0, 0xC0), QColor(0x00, 0xFF, 0xFF),
    QColor(0x00, 0x00, 0x00),
};

QColor Blend(const QColor& a, const QColor& b, double bShare) {
    return QColor::fromRgbF(float(a.redF() * (1 - bShare) + b.redF() * bShare),
                            float(a.greenF() * (1 - bShare) + b.greenF() * bShare),
                            float(a.blueF() * (1 - bShare) + b.blueF() * bShare));
}

int DecimalsFor(double step) { return step >= 1 ? 0 : int(std::ceil(-std::log10(step) - 1e-9)); }

}  // namespace

// ---- BarSeries ---------------------------------------------------------------------------------

BarSeries::BarSeries(QObject* owner) : QObject(owner) {}

void BarSeries::AddXY(double x, double y, const QString& label, const QColor& color) {
    const auto after =
        std::upper_bound(points_.begin(), points_.end(), x,
                         [](double value, const BarPoint& p) { return value < p.x; });
    points_.insert(after, BarPoint{x, y, label, color});
    emit Changed();
}

void BarSeries::Clear() {
    if (points_.isEmpty()) return;
    points_.clear();
    emit Changed();
}

void BarSeries::SetBarWidthPercent(int percent) {
    percent = std::clamp(percent, 1, 100);
    if (percent == barWidthPercent_) return;
    barWidthPercent_ = percent;
    emit Changed();
}

void BarSeries::SetSeriesColor(const QColor& color) {
    if (color == seriesColor_) return;
    seriesColor_ = color;
    emit Changed();
}

// ---- geometry helpers --------------------------------------------------------------------------

BarSpan SideBySideSpan(double x, int k, int n, int widthPercent) {
    n = std::max(n, 1);
    const double width = widthPercent / 100.0 / n;
    const double left = x + (k - n / 2.0 - 1) * width;
    return {left, left + width};
}

XPixelMap FitCategoryCentres(const QList<double>& centres) {
    const qsizetype n = centres.size();
    if (n == 0) return {0, 0};
    if (n == 1) return {centres.first(), 0};
    const double meanK = (n + 1) / 2.0;
    double meanC = 0;
    for (double c : centres) meanC += c;
    meanC /= double(n);
    double covariance = 0;
    double variance = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const double dk = double(i + 1) - meanK;
        covariance += dk * (centres.at(i) - meanC);
        variance += dk * dk;
    }
    const double scale = covariance / variance;
    return {meanC - scale * meanK, scale};
}

AxisRange NiceAxisRange(double smallest, double largest) {
    const double low = std::min(0.0, smallest);
    const double high = std::max(0.0, largest);
    if (!std::isfinite(low) || !std::isfinite(high) || high - low <= 0) return {0, 10, 2};

    const double rough = (high - low) / 5;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    const double fraction = rough / magnitude;
    const double nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
    const double step = nice * magnitude;
    // Strictly beyond the extreme values, so the longest bar never touches the plot's edge.
    const double max = high > 0 ? (std::floor(high / step + 1e-9) + 1) * step : 0;
    const double min = low < 0 ? -(std::floor(-low / step + 1e-9) + 1) * step : 0;
    return {min, max, step};
}

// ---- BarChart ----------------------------------------------------------------------------------

BarChart::BarChart(QWidget* parent) : QWidget(parent) {
    // No background of its own: the panel behind the chart shows through.
    setAutoFillBackground(false);
}

BarChart::~BarChart() {
    // Adopted series die in ~QWidget, after this object's members: they must not call back.
    for (BarSeries* series : series_) disconnect(series, nullptr, this, nullptr);
}

void BarChart::SetTitle(const QString& title) {
    title_ = title;
    update();
}

void BarChart::SetLeftAxisTitle(const QString& title) {
    leftAxisTitle_ = title;
    update();
}

BarSeries* BarChart::Series(int index) const {
    return index >= 0 && index < series_.size() ? series_.at(index) : nullptr;
}

void BarChart::AddSeries(BarSeries* series) {
    if (series == nullptr || series_.contains(series)) return;
    if (!series->SeriesColor().isValid()) {
        auto inUse = [this](const QColor& c) {
            return std::any_of(series_.begin(), series_.end(),
                               [&c](const BarSeries* s) { return s->SeriesColor() == c; });
        };
        const auto free = std::find_if(std::begin(kPalette), std::end(kPalette),
                                       [&inUse](const QColor& c) { return !inUse(c); });
        series->SetSeriesColor(free != std::end(kPalette) ? *free : kPalette[0]);
    }
    if (series->parent() == nullptr) series->setParent(this);
    series_.append(series);
    connect(series, &BarSeries::Changed, this, qOverload<>(&QWidget::update));
    connect(series, &QObject::destroyed, this, &BarChart::RemoveSeries);
    update();
}

void BarChart::RemoveSeries(QObject* series) {
    series_.removeIf([series](const BarSeries* s) { return s == series; });
    update();
}

void BarChart::SetCategoryLabelCentres(const QList<double>& xPixelCentres) {
    labelCentres_ = xPixelCentres;
    update();
}

QFont BarChart::AxisFont() const {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(kAxisFontPixels);
    return font;
}

QFont BarChart::TitleFont() const {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(kTitleFontPixels);
    return font;
}

AxisRange BarChart::LeftAxisRange() const {
    double smallest = INFINITY;
    double largest = -INFINITY;
    for (const BarSeries* series : series_) {
        for (const BarPoint& p : series->Points()) {
            if (!std::isfinite(p.y)) continue;
            smallest = std::min(smallest, p.y);
            largest = std::max(largest, p.y);
        }
    }
    if (smallest > largest) return NiceAxisRange(0, 0);
    return NiceAxisRange(smallest, largest);
}

QRectF BarChart::PlotRect() const {
    const QFontMetricsF axisMetrics(AxisFont());
    const AxisRange range = LeftAxisRange();
    const int decimals = DecimalsFor(range.step);
    double labelWidth = 0;
    for (double v : {range.min, range.max}) {
        labelWidth =
            std::max(labelWidth, axisMetrics.horizontalAdvance(QString::number(v, 'f', decimals)));
    }
    const double titleWidth = leftAxisTitle_.isEmpty() ? 0 : axisMetrics.height() + 2;
    const double left = titleWidth + labelWidth + 2 + kTickLength;

    const double titleHeight = title_.isEmpty() ? 0 : QFontMetricsF(TitleFont()).height() + 4;
    const double markRoom = kArrowLength + axisMetrics.height() + 4;
    const double top = titleHeight + markRoom;
    const double bottom = height() - kBottomMargin - kCategoryStrip;
    const double right = width() - kDepth;
    return QRectF(QPointF(left, top), QPointF(std::max(left, right), std::max(top, bottom)));
}

XPixelMap BarChart::XMap() const {
    if (labelCentres_.size() >= 2) return FitCategoryCentres(labelCentres_);
    const QRectF plot = PlotRect();
    const double scale = plot.width() / kDefaultSlotCount;
    return {plot.left() - 0.5 * scale, scale};
}

double BarChart::YToPixel(double y, const AxisRange& range, const QRectF& plot) const {
    return plot.bottom() - (y - range.min) / (range.max - range.min) * plot.height();
}

QRectF BarChart::BarRect(int seriesIndex, int pointIndex) const {
    const BarSeries* series = Series(seriesIndex);
    if (series == nullptr || pointIndex < 0 || pointIndex >= series->Count()) return {};
    const BarPoint& point = series->Points().at(pointIndex);
    if (!std::isfinite(point.x) || !std::isfinite(point.y)) return {};

    const XPixelMap map = XMap();
    const BarSpan span =
        SideBySideSpan(point.x, seriesIndex + 1, SeriesCount(), series->BarWidthPercent());
    const QRectF plot = PlotRect();
    const AxisRange range = LeftAxisRange();
    const double valueY = YToPixel(point.y, range, plot);
    const double zeroY = YToPixel(0, range, plot);
    return QRectF(QPointF(map.ToPixel(span.left), std::min(valueY, zeroY)),
                  QPointF(map.ToPixel(span.right), std::max(valueY, zeroY)));
}

void BarChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QRectF plot = PlotRect();
    const AxisRange range = LeftAxisRange();
    const QFont axisFont = AxisFont();
    const QFontMetricsF axisMetrics(axisFont);

    if (!title_.isEmpty()) {
        painter.setFont(TitleFont());
        painter.setPen(kBlue);
        painter.drawText(QRectF(0, 2, width(), QFontMetricsF(TitleFont()).height()),
                         Qt::AlignHCenter | Qt::AlignTop, title_);
    }

    // Value axis: grid lines, the axis line, ticks and their labels.
    painter.setFont(axisFont);
    const int decimals = DecimalsFor(range.step);
    const int tickCount = int(std::lround((range.max - range.min) / range.step));
    for (int i = 0; i <= tickCount; ++i) {
        const double value = range.min + i * range.step;
        const double y = YToPixel(value, range, plot);
        painter.setPen(QPen(QColor(0xC0, 0xC0, 0xC0), 0, Qt::DotLine));
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(Qt::black);
        painter.drawLine(QPointF(plot.left() - kTickLength, y), QPointF(plot.left(), y));
        const QRectF labelBox(0, y - axisMetrics.height() / 2, plot.left() - kTickLength - 2,
                              axisMetrics.height());
        painter.drawText(labelBox, Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(value, 'f', decimals));
    }
    painter.setPen(Qt::black);
    painter.drawLine(plot.bottomLeft(), plot.topLeft());
    if (!leftAxisTitle_.isEmpty()) {
        painter.save();
        painter.setPen(kBlue);
        painter.translate(0, plot.center().y());
        painter.rotate(-90);
        painter.drawText(QRectF(-plot.height() / 2, 0, plot.height(), axisMetrics.height()),
                         Qt::AlignCenter, leftAxisTitle_);
        painter.restore();
    }

    // Bars first, then all value marks, so that no bar covers a neighbour's mark.
    struct Mark {
        QPointF anchor;  // the end of the bar away from zero
        bool below;      // negative bars carry their mark underneath
        QString text;
    };
    QList<Mark> marks;
    for (int s = 0; s < SeriesCount(); ++s) {
        const BarSeries* series = series_.at(s);
        for (int i = 0; i < series->Count(); ++i) {
            const QRectF bar = BarRect(s, i);
            if (bar.isNull()) continue;
            const BarPoint& point = series->Points().at(i);
            const QColor color = point.color.isValid() ? point.color : series->SeriesColor();

            const QPolygonF top({bar.topLeft(), bar.topLeft() + QPointF(kDepth, -kDepth),
                                 bar.topRight() + QPointF(kDepth, -kDepth), bar.topRight()});
            const QPolygonF side({bar.topRight(), bar.topRight() + QPointF(kDepth, -kDepth),
                                  bar.bottomRight() + QPointF(kDepth, -kDepth), bar.bottomRight()});
            painter.setPen(QPen(color.darker(200), 0));
            painter.setBrush(Blend(color, Qt::white, 0.5));
            painter.drawPolygon(top);
            painter.setBrush(color.darker(140));
            painter.drawPolygon(side);

            QLinearGradient face(bar.topLeft(), bar.bottomLeft());
            face.setColorAt(0, Blend(color, Qt::white, 0.6));
            face.setColorAt(1, color);
            painter.setBrush(face);
            painter.drawRect(bar);

            const bool below = point.y < 0;
            marks.append(
                {QPointF(bar.center().x(), below ? bar.bottom() : bar.top()), below, point.label});
        }
    }

    painter.setFont(axisFont);
    for (const Mark& mark : marks) {
        const bool down = mark.below;
        const QPointF to = mark.anchor + QPointF(0, down ? kArrowLength : -kArrowLength);
        painter.setPen(QPen(QColor(0x60, 0x60, 0x60), 0));
        painter.drawLine(mark.anchor, to);
        const QSizeF box(axisMetrics.horizontalAdvance(mark.text) + 6, axisMetrics.height() + 2);
        const QRectF boxRect(
            QPointF(to.x() - box.width() / 2, down ? to.y() : to.y() - box.height()), box);
        painter.setPen(QPen(Qt::black, 0));
        painter.setBrush(QColor(0xFF, 0xFF, 0xE1));
        painter.drawRect(boxRect);
        painter.drawText(boxRect, Qt::AlignCenter, mark.text);
    }
}
