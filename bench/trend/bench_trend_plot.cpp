// The trend plot at 1157 x 691 holding thirty days of all fourteen batteries reduced to its
// width: time to paint it, time of one pan or zoom step (moving the view and painting it), and
// the memory it holds.
#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "BenchStore.h"
#include "trend/TrendPlot.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

TrendResult ThirtyDays(int columns) {
    TrendResult result;
    result.request.range = {benchstore::kStartMs, benchstore::kEndMs};
    result.request.columns = columns;
    result.request.gapMs = 3 * benchstore::kPeriodMs;
    std::mt19937 random(3);
    std::uniform_int_distribution<int> noise(-3, 3);
    for (const BatteryId& id : AllBatteries()) {
        result.request.batteries.push_back(id);
        MinMaxReducer reducer({result.request.range, columns, result.request.gapMs});
        int voltage = 125;
        int temperature = 250;
        for (qint64 t = benchstore::kStartMs; t < benchstore::kEndMs; t += benchstore::kPeriodMs) {
            voltage = std::clamp(voltage + noise(random), 100, 150);
            temperature = std::clamp(temperature + noise(random), 150, 450);
            const int status = random() % 5000 == 0 ? 0x71 : 0x11;
            reducer.Add(
                {t, std::int16_t(voltage), std::int16_t(temperature), std::uint8_t(status), false});
        }
        result.batteries.push_back({id, reducer.Finish()});
    }
    return result;
}

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Wall time per frame, and CPU time of this thread per frame (on a shared machine the wall time
// also counts the time other programs held the core).
struct Frames {
    std::vector<double> wallMs;
    std::vector<double> cpuMs;
};

template <typename Step>
Frames TimeFrames(TrendPlot& plot, QImage& frame, int count, Step step) {
    Frames frames;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = ThreadCpuMs();
        step(i);
        plot.render(&frame);
        frames.cpuMs.push_back(ThreadCpuMs() - cpuStart);
        frames.wallMs.push_back(timer.nsecsElapsed() / 1e6);
    }
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const long before = benchstore::ResidentBytes();
    TrendPlot plot;
    plot.resize(1157, 691);
    plot.SetChosenRange({benchstore::kStartMs, benchstore::kEndMs});
    QImage frame(plot.size(), QImage::Format_RGB32);
    plot.render(&frame);  // lays out at the final size before the data is reduced to it
    plot.SetData(ThirtyDays(plot.ColumnCount()));
    const long after = benchstore::ResidentBytes();

    const auto repaint = TimeFrames(plot, frame, 60, [](int) {});
    const auto pan = TimeFrames(plot, frame, 60, [&](int i) {
        plot.PanBy((i % 2 ? -1 : 1) * plot.VisibleRange().Span() / 20);
    });
    plot.ResetView();
    const qint64 middle = (benchstore::kStartMs + benchstore::kEndMs) / 2;
    const auto zoom = TimeFrames(plot, frame, 60, [&](int i) {
        plot.ZoomAround(middle,
                        i % 10 < 5 ? TrendPlot::kWheelStepFactor : 1 / TrendPlot::kWheelStepFactor);
    });
    std::size_t points = 0;
    for (const BatteryId& id : plot.PlottedBatteries())
        points += plot.Points(id, TrendPlotKind::Voltage).size() +
                  plot.Points(id, TrendPlotKind::Temperature).size();
    std::printf("plot holds %zu points of 14 batteries, %.2f MB of series\n", points,
                plot.HeldBytes() / 1e6);
    std::printf("repaint: median %.2f ms wall (%.2f ms CPU), max %.2f ms wall\n",
                Median(repaint.wallMs), Median(repaint.cpuMs),
                *std::max_element(repaint.wallMs.begin(), repaint.wallMs.end()));
    std::printf("pan step: median %.2f ms wall (%.2f ms CPU)\n", Median(pan.wallMs),
                Median(pan.cpuMs));
    std::printf("zoom step: median %.2f ms wall (%.2f ms CPU)\n", Median(zoom.wallMs),
                Median(zoom.cpuMs));
    std::printf("resident memory grown by the loaded plot: %.2f MB\n", (after - before) / 1e6);
    std::printf("RESULT trend_repaint_ms %.2f\n", Median(repaint.wallMs));
    std::printf("RESULT trend_pan_ms %.2f\n", Median(pan.wallMs));
    std::printf("RESULT trend_zoom_ms %.2f\n", Median(zoom.wallMs));
    std::printf("RESULT trend_plot_mb %.2f\n", plot.HeldBytes() / 1e6);
    return 0;
}
