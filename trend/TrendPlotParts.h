#pragma once

#include <QColor>
#include <QString>
#include <algorithm>
#include <cmath>
#include <utility>

#include "trend/TrendPlot.h"

// Measures, colours and small computations shared by the trend plot's interaction and painting.
namespace trendplot {

inline constexpr double kLeftMargin = 56;
inline constexpr double kRightMargin = 14;
inline constexpr double kPlotSpacing = 10;
inline constexpr double kHoverRadius = 24;
inline constexpr int kTickSpacingPx = 110;
inline constexpr int kValueTicks = 5;
// A plot keeps at most this many points per pixel column and line; live readings beyond that
// are folded into their columns' minimum and maximum.
inline constexpr int kCompactFactor = 4;

inline const QColor kFrameColor(0x80, 0x80, 0x80);
inline const QColor kGridColor(0xe4, 0xe4, 0xe4);

inline double ValueOf(const TrendSample& s, TrendPlotKind kind) {
    return kind == TrendPlotKind::Voltage ? s.Volts() : s.Celsius();
}

// Range of the points of `line` that lie inside [from, to], with one neighbour on either side
// so a line leaving the plot is drawn up to its edge.
inline std::pair<std::size_t, std::size_t> VisibleSlice(const TrendSeries& line,
                                                        const TimeRange& range) {
    const auto byTime = [](const TrendSample& s, qint64 t) { return s.tMs < t; };
    auto first = std::lower_bound(line.begin(), line.end(), range.fromMs, byTime);
    auto last = std::lower_bound(first, line.end(), range.toMs + 1, byTime);
    if (first != line.begin()) --first;
    if (last != line.end()) ++last;
    return {std::size_t(first - line.begin()), std::size_t(last - line.begin())};
}

inline double NiceStep(double rough) {
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= rough) return m * power;
    return 10 * power;
}

// As many decimals as the tick step needs (steps are 1, 2 or 5 times a power of ten).
inline QString ValueText(double v, double step) {
    const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
    return QString::number(v, 'f', decimals);
}

}  // namespace trendplot
