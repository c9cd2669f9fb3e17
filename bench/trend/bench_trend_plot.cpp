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
#include <vector>

#include "bench/trend/BenchStore.h"
#include "trend/TrendPlot.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

TrendResult ThirtyDays(int columns, bool noisy) {
    TrendResult result;
    result.request.range = {benchstore::kStartMs, benchstore::kEndMs};
    result.request.columns = columns;
    result.request.gapMs = 3 * benchstore::kPeriodMs;
    for (const battery::BatteryId& id : battery::WatchedBatteries()) {
        result.request.batteries.push_back(id);
        MinMaxReducer reducer({result.request.range, columns, result.request.gapMs});
        benchstore::ReadingGenerator generator(*battery::WatchedIndex(id), noisy);
        for (qint64 t = benchstore::kStartMs; t < benchstore::kEndMs; t += benchstore::kPeriodMs)
            reducer.Add(generator.At(t));
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

struct Figures {
    Frames repaint, pan, zoom;
};

Figures Measure(TrendPlot& plot, QImage& frame) {
    Figures figures;
    plot.ResetView();
    figures.repaint = TimeFrames(plot, frame, 60, [](int) {});
    figures.pan = TimeFrames(plot, frame, 60, [&](int i) {
        plot.PanBy((i % 2 ? -1 : 1) * plot.VisibleRange().Span() / 20);
    });
    plot.ResetView();
    const qint64 middle = (benchstore::kStartMs + benchstore::kEndMs) / 2;
    figures.zoom = TimeFrames(plot, frame, 60, [&](int i) {
        plot.ZoomAround(middle,
                        i % 10 < 5 ? TrendPlot::kWheelStepFactor : 1 / TrendPlot::kWheelStepFactor);
    });
    return figures;
}

void Print(const char* title, const Figures& f) {
    std::printf("%s\n", title);
    std::printf("  repaint: median %.2f ms wall (%.2f ms CPU), max %.2f ms wall\n",
                Median(f.repaint.wallMs), Median(f.repaint.cpuMs),
                *std::max_element(f.repaint.wallMs.begin(), f.repaint.wallMs.end()));
    std::printf("  pan step: median %.2f ms wall (%.2f ms CPU)\n", Median(f.pan.wallMs),
                Median(f.pan.cpuMs));
    std::printf("  zoom step: median %.2f ms wall (%.2f ms CPU)\n", Median(f.zoom.wallMs),
                Median(f.zoom.cpuMs));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TrendPlot plot;
    plot.resize(1157, 691);
    plot.SetChosenRange({benchstore::kStartMs, benchstore::kEndMs});
    QImage frame(plot.size(), QImage::Format_RGB32);
    plot.render(&frame);  // lays out at the final size before the data is reduced to it

    plot.SetData(ThirtyDays(plot.ColumnCount(), true));
    Print("worst case: every column a tall band (random walk over the whole scale)",
          Measure(plot, frame));

    plot.SetData(ThirtyDays(plot.ColumnCount(), false));
    const Figures figures = Measure(plot, frame);
    Print("battery-like readings (daily cycle with noise)", figures);
    std::size_t points = 0;
    for (const battery::BatteryId& id : plot.PlottedBatteries())
        points += plot.Points(id, TrendPlotKind::Voltage).size() +
                  plot.Points(id, TrendPlotKind::Temperature).size();
    std::printf("plot holds %zu points of 14 batteries, %.2f MB of series\n", points,
                plot.HeldBytes() / 1e6);
    std::printf("RESULT trend_repaint_ms %.2f\n", Median(figures.repaint.wallMs));
    std::printf("RESULT trend_pan_ms %.2f\n", Median(figures.pan.wallMs));
    std::printf("RESULT trend_zoom_ms %.2f\n", Median(figures.zoom.wallMs));
    std::printf("RESULT trend_plot_mb %.2f\n", plot.HeldBytes() / 1e6);
    return 0;
}
