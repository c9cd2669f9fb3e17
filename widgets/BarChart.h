#pragma once

#include <QColor>
#include <QList>
#include <QObject>
#include <QRectF>
#include <QString>
#include <QWidget>

// One bar: its place on the x axis (slot k is centred on x = k), its value, the text of its
// value mark and its own colour (an invalid colour means the series colour).
struct BarPoint {
    double x;
    double y;
    QString label;
    QColor color;
};

// The bars of one series, always sorted by ascending x. A point added at an x that is already
// present goes after the earlier ones; points are never merged.
class BarSeries : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultBarWidthPercent = 70;

    explicit BarSeries(QObject* owner = nullptr);

    void AddXY(double x, double y, const QString& label, const QColor& color);
    void Clear();
    int Count() const { return int(points_.size()); }
    const QList<BarPoint>& Points() const { return points_; }

    void SetBarWidthPercent(int percent);  // share of a slot, 1..100
    int BarWidthPercent() const { return barWidthPercent_; }
    void SetSeriesColor(const QColor& color);
    QColor SeriesColor() const { return seriesColor_; }  // invalid until set or picked

signals:
    void Changed();

private:
    QList<BarPoint> points_;
    int barWidthPercent_ = kDefaultBarWidthPercent;
    QColor seriesColor_;
};

// Horizontal extent of a bar in x units when n series stand side by side: series k (from 1)
// gets a bar of width w = widthPercent / 100 / n that begins at x + (k - n/2 - 1) * w.
struct BarSpan {
    double left;
    double right;
};
BarSpan SideBySideSpan(double x, int k, int n, int widthPercent);

// Linear map from x units to pixels.
struct XPixelMap {
    double origin;  // pixel of x = 0
    double scale;   // pixels per x unit
    double ToPixel(double x) const { return origin + scale * x; }
};
// Least-squares line through (k, centres[k - 1]), k = 1..n; needs at least two centres.
XPixelMap FitCategoryCentres(const QList<double>& centres);

// A value axis from `min` to `max` with ticks every `step`.
struct AxisRange {
    double min;
    double max;
    double step;
};
// The smallest range of "nice" ticks (1, 2 or 5 times a power of ten) that reaches from 0, or
// from below the smallest value when that is negative, to above the largest value.
AxisRange NiceAxisRange(double smallest, double largest);

// A bar chart painted with QPainter: a title, a value axis on the left, and the bars of every
// series side by side at their x positions, each with its value mark above it. There is no
// category axis: the owner places its own category labels and tells the chart where they are.
class BarChart : public QWidget {
    Q_OBJECT
public:
    explicit BarChart(QWidget* parent = nullptr);
    ~BarChart() override;

    void SetTitle(const QString& title);
    void SetLeftAxisTitle(const QString& title);

    int SeriesCount() const { return int(series_.size()); }
    BarSeries* Series(int index) const;
    // Appends a series (taking ownership if it has no owner); one without a colour gets the
    // next colour of the chart's palette.
    void AddSeries(BarSeries* series);

    // Centres, in chart pixels, of the labels of slots 1, 2, ...: bars are placed under them.
    void SetCategoryLabelCentres(const QList<double>& xPixelCentres);

    // The geometry of the current drawing, for the owner and for tests.
    QRectF PlotRect() const;
    XPixelMap XMap() const;
    AxisRange LeftAxisRange() const;
    QRectF BarRect(int seriesIndex, int pointIndex) const;  // front face, pixels

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void RemoveSeries(QObject* series);
    QFont AxisFont() const;
    QFont TitleFont() const;
    double YToPixel(double y, const AxisRange& range, const QRectF& plot) const;

    QString title_;
    QString leftAxisTitle_;
    QList<BarSeries*> series_;
    QList<double> labelCentres_;
};
