// CPU use of the whole program (all its threads) with the port open and idle, then while
// monitoring batmon-sim, as a share of one core. Usage: bench_cpu [seconds-each] [period-s]
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>

#include "bench/app/BenchSupport.h"
#include "tests/common/FormControls.h"
#include "tests/common/WindowRig.h"
#include "tools/simctl/SimProcess.h"
#include "widgets/EventDispatcher.h"

using testsupport::Comm1;
using testsupport::Control;
using testsupport::HistoryGrid;

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Share of one core used while the event loop runs for `seconds`.
double CoreShareOver(int seconds) {
    const double cpu0 = ProcessCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    bench::RunEventLoopFor(seconds * 1000);
    return (ProcessCpuSeconds() - cpu0) / (wall.nsecsElapsed() / 1e9);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int periodS = argc > 2 ? std::atoi(argv[2]) : 1;

    SimProcess sim;
    testsupport::WindowRig window;
    TForm1& form = window.Form();
    if (!window.OpenOnSimulatedBus(sim)) {
        std::fprintf(stderr, "%s\n", qPrintable(window.ErrorText()));
        return 1;
    }
    bench::RunEventLoopFor(500);  // start-up settles
    const double idle = CoreShareOver(seconds);

    Control<QLineEdit>(form, "sample_time")->setText(QString::number(periodS));
    Control<QPushButton>(form, "RzBitBtn14")->click();
    Control<QPushButton>(form, "RzBitBtn7")->click();
    const double monitoring = CoreShareOver(seconds);

    std::printf("CPU use of the program, share of one core over %d s\n", seconds);
    std::printf("  port open, idle:                  %.2f %%\n", idle * 100);
    std::printf("  monitoring, sampling period %d s:  %.2f %%\n", periodS, monitoring * 100);
    bench::Result("cpu_idle_percent", idle * 100);
    bench::Result("cpu_monitoring_percent", monitoring * 100);
    form.close();
    return 0;
}
