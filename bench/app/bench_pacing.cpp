// Poll pacing as the device sees it: the real window (offscreen) monitors batmon-sim, and the
// simulator's log gives the arrival time of every request. Prints the deviation of each request
// from the 150 ms grid of its cycle, and of each cycle's first request from the sampling period
// counted from the first cycle. Usage: bench_pacing [cycles] [period-seconds]
#include <time.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <cmath>
#include <cstdio>
#include <string>

#include "bench/app/BenchSupport.h"
#include "tests/common/FormControls.h"
#include "tests/common/WindowRig.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/EventDispatcher.h"

using testsupport::Comm1;
using testsupport::Control;
using testsupport::HistoryGrid;

namespace {

double MonotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 10;
    const int periodS = argc > 2 ? std::atoi(argv[2]) : 3;
    const bool overTcp = argc > 3 && std::string(argv[3]) == "tcp";
    const std::string key = overTcp ? "pacing_tcp_" : "pacing_";

    SimProcess sim;
    testsupport::WindowRig window;
    TForm1& form = window.Form();
    using BusLink = testsupport::WindowRig::BusLink;
    if (!window.OpenOnSimulatedBus(sim, {}, overTcp ? BusLink::Tcp : BusLink::Pty)) {
        std::fprintf(stderr, "%s\n", qPrintable(window.ErrorText()));
        return 1;
    }
    Control<QLineEdit>(form, "sample_time")->setText(QString::number(periodS));
    Control<QPushButton>(form, "RzBitBtn14")->click();
    const double pressUs = MonotonicUs();
    Control<QPushButton>(form, "RzBitBtn7")->click();

    const auto requests = [&] {
        std::vector<double> t;
        for (const SimLogEntry& e : sim.ReadLog())
            if (e.dir == QStringLiteral("rx") && e.function == 4) t.push_back(double(e.monoUs));
        return t;
    };
    bench::RunUntil([&] { return int(requests().size()) >= 16 * cycles; },
                    (cycles + 1) * periodS * 1000 + 5000);
    const std::vector<double> t = requests();
    if (int(t.size()) < 16 * cycles) {
        std::fprintf(stderr, "only %zu requests seen\n", t.size());
        return 1;
    }

    std::vector<double> gridMs, periodMs;
    double startMs = 0;
    for (int c = 0; c < cycles; ++c) {
        const double first = t[16 * c];
        // The first cycle starts 150 ms after the press; each later one a whole sampling period
        // after the first, as the device sees it (the path to the device then cancels out).
        if (c == 0)
            startMs = (first - pressUs) / 1e3;
        else
            periodMs.push_back(std::fabs(first - t[0] - c * periodS * 1e6) / 1e3);
        for (int j = 1; j < 16; ++j)
            gridMs.push_back(std::fabs(t[16 * c + j] - first - j * 150e3) / 1e3);
    }
    std::printf("Poll pacing at the device%s, %d cycles, sampling period %d s\n",
                overTcp ? " over TCP" : "", cycles, periodS);
    std::printf("  150 ms grid:      median %.2f ms   max %.2f ms\n", bench::Percentile(gridMs, 50),
                bench::Percentile(gridMs, 100));
    std::printf("  sampling period:  median %.2f ms   max %.2f ms\n",
                bench::Percentile(periodMs, 50), bench::Percentile(periodMs, 100));
    std::printf("  first request %.2f ms after the press (150 ms plus the way to the device)\n",
                startMs);
    bench::Result((key + "grid_ms_median").c_str(), bench::Percentile(gridMs, 50));
    bench::Result((key + "grid_ms_max").c_str(), bench::Percentile(gridMs, 100));
    bench::Result((key + "period_ms_median").c_str(), bench::Percentile(periodMs, 50));
    bench::Result((key + "period_ms_max").c_str(), bench::Percentile(periodMs, 100));
    form.close();
    return 0;
}
