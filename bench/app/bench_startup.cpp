// Start-up to the first painted window: the launcher notes the time, starts a child that builds
// the real window exactly as the program does, and the child reports when the window first
// paints; then the same with a history store of 1,000,000 readings, the last 24 hours of which
// are restored into the history tables. Usage: bench_startup [runs]
#include <time.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/TForm1.h"
#include "bench/app/BenchSupport.h"
#include "store/HistoryWriter.h"
#include "widgets/EventDispatcher.h"
#include "widgets/Fonts.h"

namespace {

qint64 MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class FirstPaintProbe : public QObject {
public:
    explicit FirstPaintProbe(qint64 startNs) : startNs_(startNs) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !reported_) {
            reported_ = true;
            std::printf("%.3f\n", (MonotonicNs() - startNs_) / 1e6);
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return false;
    }

private:
    qint64 startNs_;
    bool reported_ = false;
};

int RunChild(qint64 startNs, const QString& dataDir, int argc, char** argv) {
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    InstallFontSubstitutions();
    StationOptions options;
    options.dataDir = dataDir;
    TForm1 form(options);
    FirstPaintProbe probe(startNs);
    form.installEventFilter(&probe);
    form.show();
    return app.exec();
}

// 1,000,000 readings of the fourteen batteries at a 10 s period, the newest just now.
void FillStore(const QString& dataDir) {
    store::HistoryWriter writer(dataDir);
    writer.Start();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const int batteries = 14;
    const int cycles = 1'000'000 / batteries + 1;
    std::vector<battery::Reading> batch;
    for (int c = 0; c < cycles; ++c) {
        const qint64 t = now - qint64(cycles - c) * 10'000;
        for (int b = 0; b < batteries; ++b)
            batch.push_back({t + b * 150, std::uint8_t(b < 8 ? 0xA0 : 0xA1),
                             std::uint8_t(b < 8 ? b : b - 8), 0x11, 125, 250});
        if (batch.size() >= 14'000) {
            writer.Append(batch);
            batch.clear();
        }
    }
    writer.Append(batch);
    writer.Shutdown();
}

std::vector<double> MeasureRuns(int runs, const QString& dataDir) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QProcess child;
        const qint64 start = MonotonicNs();
        child.start(QCoreApplication::applicationFilePath(),
                    {"--child", QString::number(start), dataDir});
        if (!child.waitForFinished(20000)) {
            std::fprintf(stderr, "child did not finish\n");
            std::exit(1);
        }
        ms.push_back(QString::fromLatin1(child.readAllStandardOutput()).trimmed().toDouble());
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--child")
        return RunChild(std::atoll(argv[2]), QString::fromLocal8Bit(argv[3]), argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::vector<double> ms = MeasureRuns(runs, {});
    std::printf(
        "Start-up to first painted window (%s), %d runs\n",
        qgetenv("QT_QPA_PLATFORM").isEmpty() ? "display" : qgetenv("QT_QPA_PLATFORM").constData(),
        runs);
    std::printf("  median %.1f ms   max %.1f ms\n", bench::Percentile(ms, 50),
                bench::Percentile(ms, 100));
    bench::Result("startup_ms_median", bench::Percentile(ms, 50));
    bench::Result("startup_ms_max", bench::Percentile(ms, 100));

    QTemporaryDir dataDir;
    FillStore(dataDir.path());
    const std::vector<double> stored = MeasureRuns(runs, dataDir.path());
    std::printf("  with 1 000 000 stored readings, 24 h restored: median %.1f ms   max %.1f ms\n",
                bench::Percentile(stored, 50), bench::Percentile(stored, 100));
    bench::Result("startup_store_ms_median", bench::Percentile(stored, 50));
    return 0;
}
