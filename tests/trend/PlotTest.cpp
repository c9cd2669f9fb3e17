#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <set>

#include "trend/BatteryColors.h"
#include "trend/TrendPlot.h"

namespace {

constexpr qint64 kStart = 1'800'000'000'000;
constexpr qint64 kPeriod = 10'000;
const battery::BatteryId kOneHash{0xA1, 0};
const battery::BatteryId kA0First{0xA0, 0};

TrendSample Reading(qint64 t, int voltageDv, int temperatureDc, int status = kStatusNormal) {
    return {t, std::int16_t(voltageDv), std::int16_t(temperatureDc), std::uint8_t(status), false};
}

// An hour of readings of two batteries, as a query would return it for the whole hour.
TrendResult HourOfReadings() {
    TrendResult result;
    result.request = {{kOneHash, kA0First}, {kStart, kStart + 360 * kPeriod}, 1000, 3 * kPeriod};
    for (const battery::BatteryId id : {kOneHash, kA0First}) {
        TrendSeries samples;
        for (int i = 0; i <= 360; ++i)
            samples.push_back(Reading(kStart + i * kPeriod, (id.device == 0xA0 ? 110 : 125) + i % 7,
                                      (id.device == 0xA0 ? 270 : 240) + i % 11,
                                      i == 180 ? 0x72 : kStatusNormal));
        result.batteries.push_back(
            {id, ReduceMinMax(samples, {result.request.range, 1000, 3 * kPeriod})});
    }
    return result;
}

class PlotTest : public ::testing::Test {
protected:
    void SetUp() override {
        plot_.resize(1157, 691);
        plot_.SetChosenRange({kStart, kStart + 360 * kPeriod});
        plot_.SetData(HourOfReadings());
    }

    void ExpectBothPlotsOnOneTimeAxis() const {
        const TrendPlotAxis voltage = plot_.Axis(TrendPlotKind::Voltage);
        const TrendPlotAxis temperature = plot_.Axis(TrendPlotKind::Temperature);
        EXPECT_EQ(voltage.range, temperature.range);
        EXPECT_EQ(voltage.area.left(), temperature.area.left());
        EXPECT_EQ(voltage.area.right(), temperature.area.right());
        EXPECT_LT(voltage.area.bottom(), temperature.area.top()) << "voltage above temperature";
    }

    void Wheel(QPointF at, int steps) {
        QWheelEvent event(at, plot_.mapToGlobal(at), {}, {0, 120 * steps}, Qt::NoButton, {},
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(&plot_, &event);
    }
    void Mouse(QEvent::Type type, QPointF at, Qt::MouseButtons buttons) {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, plot_.mapToGlobal(at), button, buttons, {});
        QApplication::sendEvent(&plot_, &event);
    }
    qint64 TimeAt(double x) const {
        const TrendPlotAxis axis = plot_.Axis(TrendPlotKind::Voltage);
        return axis.range.fromMs +
               qint64((x - axis.area.left()) / axis.area.width() * double(axis.range.Span()));
    }

    TrendPlot plot_;
};

}  // namespace

TEST_F(PlotTest, wheelDragAndDoubleClickMoveBothPlotsTogether) {
    QSignalSpy announced(&plot_, &TrendPlot::ViewChanged);
    const QRectF area = plot_.Axis(TrendPlotKind::Temperature).area;
    const QPointF pointer(area.left() + area.width() * 0.25, area.center().y());
    const qint64 underPointer = TimeAt(pointer.x());
    const qint64 msPerPixel = plot_.VisibleRange().Span() / qint64(area.width());

    Wheel(pointer, 2);  // zoom in, over the temperature plot
    ExpectBothPlotsOnOneTimeAxis();
    EXPECT_NEAR(double(plot_.VisibleRange().Span()), 360.0 * kPeriod * 0.64, 2.0);
    EXPECT_NEAR(double(TimeAt(pointer.x())), double(underPointer), double(msPerPixel))
        << "the time under the pointer stays under it";

    const TimeRange zoomed = plot_.VisibleRange();
    Mouse(QEvent::MouseButtonPress, pointer, Qt::LeftButton);
    Mouse(QEvent::MouseMove, pointer + QPointF(100, 0), Qt::LeftButton);
    Mouse(QEvent::MouseButtonRelease, pointer + QPointF(100, 0), Qt::NoButton);
    ExpectBothPlotsOnOneTimeAxis();
    EXPECT_EQ(plot_.VisibleRange().Span(), zoomed.Span());
    EXPECT_LT(plot_.VisibleRange().fromMs, zoomed.fromMs) << "dragging right shows earlier times";

    Wheel(pointer, -5);  // zoom out past the chosen range
    ExpectBothPlotsOnOneTimeAxis();
    EXPECT_GT(plot_.VisibleRange().Span(), plot_.ChosenRange().Span());

    Mouse(QEvent::MouseButtonDblClick, pointer, Qt::LeftButton);
    EXPECT_EQ(plot_.VisibleRange(), plot_.ChosenRange());
    ExpectBothPlotsOnOneTimeAxis();
    ASSERT_EQ(announced.size(), 4);
    EXPECT_EQ(announced.last().at(0).value<TimeRange>(), plot_.ChosenRange());
}

TEST_F(PlotTest, hoveringNearALineShowsThatReadingWithItsStatus) {
    const TrendSeries& line = plot_.Points(kOneHash, TrendPlotKind::Temperature);
    ASSERT_FALSE(line.empty());
    const TrendSample& abnormal =
        *std::find_if(line.begin(), line.end(), [](auto& s) { return s.status == 0x72; });
    // Find the pixel of that reading by hovering along its time until the plot reports it.
    const QRectF area = plot_.Axis(TrendPlotKind::Temperature).area;
    const double x =
        area.left() + double(abnormal.tMs - kStart) / double(360 * kPeriod) * area.width();
    std::optional<HoveredReading> hovered;
    for (double y = area.top() + 1; y < area.bottom() && !hovered; y += 1) {
        Mouse(QEvent::MouseMove, {x, y}, Qt::NoButton);
        if (plot_.Hovered() && plot_.Hovered()->reading == abnormal) hovered = plot_.Hovered();
    }
    ASSERT_TRUE(hovered.has_value());
    EXPECT_EQ(hovered->battery, kOneHash);
    EXPECT_EQ(hovered->plot, TrendPlotKind::Temperature);
    const QString text = DescribeReading(hovered->battery, hovered->reading);
    EXPECT_TRUE(text.startsWith(QStringLiteral("1#\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("温度异常")));
    EXPECT_TRUE(text.contains(QStringLiteral("℃")));
    EXPECT_EQ(plot_.Marks(kOneHash).size(), 1u);

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&plot_, &leave);
    EXPECT_FALSE(plot_.Hovered().has_value());
}

TEST_F(PlotTest, liveReadingsExtendTheLinesWithoutAReload) {
    QSignalSpy announced(&plot_, &TrendPlot::ViewChanged);
    plot_.SetFollowLive(true);
    const qint64 last = kStart + 360 * kPeriod;
    const std::size_t before = plot_.Points(kOneHash, TrendPlotKind::Voltage).size();

    plot_.AppendReading(kOneHash, Reading(last + kPeriod, 130, 260));
    plot_.AppendReading(kOneHash, Reading(last + 5 * kPeriod, 131, 261, 0x71));  // after 40 s
    plot_.AppendReading(kOneHash, Reading(last + 2 * kPeriod, 1, 1));            // older: ignored
    plot_.AppendReading({0xA1, 4}, Reading(last + kPeriod, 130, 260));           // not plotted

    const TrendSeries& voltage = plot_.Points(kOneHash, TrendPlotKind::Voltage);
    ASSERT_EQ(voltage.size(), before + 2);
    EXPECT_FALSE(voltage[before].breakBefore);
    EXPECT_TRUE(voltage[before + 1].breakBefore) << "silence of four periods breaks the line";
    EXPECT_EQ(plot_.Points(kOneHash, TrendPlotKind::Temperature).size(), before + 2);
    EXPECT_EQ(plot_.Marks(kOneHash).back().tMs, last + 5 * kPeriod);
    EXPECT_EQ(plot_.PlottedBatteries().size(), 2u);
    EXPECT_EQ(plot_.ChosenRange().toMs, last + 5 * kPeriod);
    EXPECT_EQ(plot_.VisibleRange(), plot_.ChosenRange()) << "the view follows the newest reading";
    EXPECT_EQ(announced.size(), 0) << "following the live end needs no new query";

    // A day of live readings stays bounded: folded to a few points per pixel column.
    for (int i = 6; i < 8640; ++i)
        plot_.AppendReading(kOneHash, Reading(last + i * kPeriod, 120 + i % 9, 250));
    EXPECT_LE(plot_.Points(kOneHash, TrendPlotKind::Voltage).size(),
              std::size_t(4 * plot_.ColumnCount() + 1));
    EXPECT_EQ(plot_.Points(kOneHash, TrendPlotKind::Voltage).back().tMs, last + 8639 * kPeriod);
}

TEST_F(PlotTest, savedPictureHoldsBothPlots) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("trend.png"));
    ASSERT_TRUE(plot_.SavePicture(path));
    QImage image(path);
    ASSERT_EQ(image.size(), QSize(1157, 691));
    const auto inkIn = [&](const QRectF& area) {
        int coloured = 0;
        for (int y = int(area.top()) + 20; y < int(area.bottom()) - 2; ++y)
            for (int x = int(area.left()) + 2; x < int(area.right()) - 2; ++x)
                if (image.pixelColor(x, y) == BatteryColor(kOneHash)) ++coloured;
        return coloured;
    };
    EXPECT_GT(inkIn(plot_.Axis(TrendPlotKind::Voltage).area), 100);
    EXPECT_GT(inkIn(plot_.Axis(TrendPlotKind::Temperature).area), 100);
    EXPECT_FALSE(plot_.SavePicture(dir.filePath(QStringLiteral("missing/trend.png"))));
}

TEST(BatteryNaming, fourteenNamesColoursAndStatusTexts) {
    QStringList names;
    std::set<QRgb> colours;
    for (const battery::BatteryId& id : battery::WatchedBatteries()) {
        names << battery::BatteryLabel(id);
        colours.insert(BatteryColor(id).rgb());
    }
    EXPECT_EQ(names.join(' '), QStringLiteral("A0-80 A0-81 A0-82 A0-83 A0-84 A0-85 A0-86 A0-87 "
                                              "1# 2# 3# 4# 5# 6#"));
    EXPECT_EQ(colours.size(), 14u);
    EXPECT_EQ(battery::BatteryLabel({0xA1, 6}), QStringLiteral("A1-86")) << "polled, not watched";
    EXPECT_EQ(BatteryColor({0xA1, 6}), BatteryColor({0xA2, 0}));
}
