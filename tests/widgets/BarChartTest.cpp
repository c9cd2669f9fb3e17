#include <gtest/gtest.h>

#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <memory>

#include "tests/common/WaitFor.h"
#include "widgets/BarChart.h"

namespace {

QStringList Labels(const BarSeries& series) {
    QStringList labels;
    for (const BarPoint& p : series.Points()) labels << p.label;
    return labels;
}

// Centres of the window's "1#".."6#" labels over the voltage chart (13 px wide labels).
const QList<double> kVoltageLabelCentres = {78.5, 134.5, 190.5, 246.5, 310.5, 366.5};

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

}  // namespace

TEST(BarSeries, keepsPointsSortedByXWithDuplicatesInArrivalOrder) {
    BarSeries series;
    QSignalSpy changes(&series, &BarSeries::Changed);
    series.AddXY(3, 12.1, "c", Qt::green);
    series.AddXY(1, 12.2, "a1", Qt::green);
    series.AddXY(6, 12.3, "f", Qt::green);
    series.AddXY(1, 12.4, "a2", Qt::green);
    series.AddXY(1, 12.5, "a3", Qt::red);
    series.AddXY(2, 12.6, "b", Qt::green);

    EXPECT_EQ(series.Count(), 6);
    EXPECT_EQ(Labels(series), QStringList({"a1", "a2", "a3", "b", "c", "f"}));
    EXPECT_EQ(series.Points().at(2).color, QColor(Qt::red));
    EXPECT_EQ(changes.count(), 6);

    series.Clear();
    EXPECT_EQ(series.Count(), 0);
    series.Clear();
    EXPECT_EQ(changes.count(), 7) << "clearing an empty series changes nothing";
    series.AddXY(2, 1, "again", Qt::green);
    EXPECT_EQ(Labels(series), QStringList({"again"}));
}

TEST(BarGeometry, sideBySideSpansShareTheSlot) {
    // Two series at 80 %: the first ends at x, the second begins there.
    const BarSpan first = SideBySideSpan(3, 1, 2, 80);
    const BarSpan second = SideBySideSpan(3, 2, 2, 80);
    EXPECT_DOUBLE_EQ(first.left, 2.6);
    EXPECT_DOUBLE_EQ(first.right, 3.0);
    EXPECT_DOUBLE_EQ(second.left, 3.0);
    EXPECT_DOUBLE_EQ(second.right, 3.4);
    // One series at 40 % is centred on x.
    const BarSpan alone = SideBySideSpan(2, 1, 1, 40);
    EXPECT_DOUBLE_EQ(alone.left, 1.8);
    EXPECT_DOUBLE_EQ(alone.right, 2.2);
}

TEST(BarGeometry, xMapFollowsTheLabelCentres) {
    // Evenly spaced centres are met exactly.
    const XPixelMap even = FitCategoryCentres({50, 100, 150, 200, 250, 300});
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(even.ToPixel(k), 50.0 * k, 1e-9);

    // The window's uneven centres are met within a few pixels, in order.
    const XPixelMap fitted = FitCategoryCentres(kVoltageLabelCentres);
    for (int k = 1; k <= 6; ++k) EXPECT_NEAR(fitted.ToPixel(k), kVoltageLabelCentres[k - 1], 4.0);
    EXPECT_NEAR(fitted.scale, 57.4, 0.5);

    // Without centres x runs from 0.5 at the plot's left to 6.5 at its right.
    BarChart chart;
    chart.resize(521, 241);
    const QRectF plot = chart.PlotRect();
    EXPECT_NEAR(chart.XMap().ToPixel(0.5), plot.left(), 1e-9);
    EXPECT_NEAR(chart.XMap().ToPixel(6.5), plot.right(), 1e-9);
}

TEST(BarGeometry, valueAxisRunsFromZeroToANiceValueAboveTheLargest) {
    const AxisRange voltages = NiceAxisRange(11.8, 13.1);
    EXPECT_EQ(voltages.min, 0);
    EXPECT_GT(voltages.max, 13.1);
    EXPECT_LT(voltages.max, 2 * 13.1);
    EXPECT_NEAR(std::remainder(voltages.max, voltages.step), 0, 1e-9);

    EXPECT_GT(NiceAxisRange(0, 10).max, 10) << "a value on a tick still gets room above it";

    const AxisRange empty = NiceAxisRange(0, 0);
    EXPECT_EQ(empty.min, 0);
    EXPECT_GT(empty.max, 0);

    const AxisRange belowZero = NiceAxisRange(-4.5, 30.2);
    EXPECT_LT(belowZero.min, -4.5);
    EXPECT_GT(belowZero.max, 30.2);
}

TEST(BarChart, rendersBarsUnderTheirLabelsWithValueMarks) {
    const QColor pageColour(0xC0, 0xDC, 0xC0);
    QWidget page;
    page.setAutoFillBackground(true);
    page.setPalette(QPalette(pageColour));
    page.resize(521, 241);
    BarChart& chart = *new BarChart(&page);
    chart.resize(521, 241);
    chart.SetTitle("电压趋势图");
    chart.SetLeftAxisTitle("电压值V");
    chart.SetCategoryLabelCentres(kVoltageLabelCentres);
    auto* voltages = new BarSeries;
    voltages->SetBarWidthPercent(80);
    voltages->SetSeriesColor(QColor(0, 0x80, 0));
    chart.AddSeries(voltages);
    auto* spare = new BarSeries;
    chart.AddSeries(spare);
    EXPECT_EQ(chart.SeriesCount(), 2);
    EXPECT_TRUE(spare->SeriesColor().isValid());
    EXPECT_NE(spare->SeriesColor(), voltages->SeriesColor());

    for (int k = 6; k >= 1; --k)
        voltages->AddXY(k, 12.0 + k / 10.0, QString::number(12.0 + k / 10.0), QColor(0, 255, 0));

    QImage image(page.size(), QImage::Format_ARGB32);
    page.render(&image);

    for (int i = 0; i < 6; ++i) {
        const QRectF bar = chart.BarRect(0, i);
        ASSERT_FALSE(bar.isEmpty());
        // Bar i stands under label i + 1: the first of two series ends at the label's centre.
        EXPECT_NEAR(bar.right(), kVoltageLabelCentres[i], 4.0);
        EXPECT_NEAR(bar.width(), 0.4 * FitCategoryCentres(kVoltageLabelCentres).scale, 1e-9);
        // Its face is green, the spare series' place beside it is empty.
        const QColor face = image.pixelColor(bar.center().toPoint());
        EXPECT_GT(face.green(), 150);
        EXPECT_LT(face.red(), face.green());
        const QPoint beside(int(bar.right() + bar.width() / 2), int(bar.center().y()));
        EXPECT_LT(image.pixelColor(beside).green() - image.pixelColor(beside).red(), 50);
        // The value mark sits above the bar.
        bool markFound = false;
        for (int y = int(bar.top()) - 40; y < int(bar.top()) - 18 && !markFound; ++y) {
            for (int x = int(bar.left()) - 5; x < int(bar.right()) + 5 && !markFound; ++x) {
                markFound = y >= 0 && image.pixelColor(x, y) == QColor(0xFF, 0xFF, 0xE1);
            }
        }
        EXPECT_TRUE(markFound) << "bar " << i + 1;
    }
    // The back wall is transparent: the page shows in the bottom-right corner.
    EXPECT_EQ(image.pixelColor(515, 236), pageColour);

    // Odd values draw nothing for their bar and break nothing else.
    voltages->AddXY(7, std::nan(""), "nan", Qt::red);
    voltages->AddXY(2, -3, "-3", Qt::red);
    page.render(&image);
    EXPECT_TRUE(chart.BarRect(0, voltages->Count() - 1).isNull());
}

TEST(BarChart, repaintsOnSeriesChangesAndForgetsDeletedSeries) {
    BarChart chart;
    chart.resize(438, 241);
    auto series = std::make_unique<BarSeries>();
    chart.AddSeries(series.get());
    EXPECT_EQ(series->parent(), &chart) << "a series with no owner is adopted by the chart";
    chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chart));

    PaintCounter counter;
    chart.installEventFilter(&counter);
    testsupport::WaitUntil([] { return false; }, std::chrono::milliseconds(20));
    const int before = counter.paints;
    series->AddXY(1, 25.3, "25.3", Qt::yellow);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return counter.paints > before; }));

    series.reset();
    EXPECT_EQ(chart.SeriesCount(), 0);
    EXPECT_EQ(chart.Series(0), nullptr);
}
