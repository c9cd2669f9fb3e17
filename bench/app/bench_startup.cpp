// Start-up to the first painted window: the launcher notes the time, starts a child that builds
// the real window exactly as the program does, and the child reports when the window first
// paints. Usage: bench_startup [runs]
#include <time.h>

#include <QApplication>
#include <QCoreApplication>
#include <QProcess>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/TForm1.h"
#include "bench/app/BenchSupport.h"
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

int RunChild(qint64 startNs, int argc, char** argv) {
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    InstallFontSubstitutions();
    TForm1 form;
    FirstPaintProbe probe(startNs);
    form.installEventFilter(&probe);
    form.show();
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child")
        return RunChild(std::atoll(argv[2]), argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QProcess child;
        const qint64 start = MonotonicNs();
        child.start(QCoreApplication::applicationFilePath(), {"--child", QString::number(start)});
        if (!child.waitForFinished(20000)) {
            std::fprintf(stderr, "child did not finish\n");
            return 1;
        }
        ms.push_back(QString::fromLatin1(child.readAllStandardOutput()).trimmed().toDouble());
    }
    std::printf(
        "Start-up to first painted window (%s), %d runs\n",
        qgetenv("QT_QPA_PLATFORM").isEmpty() ? "display" : qgetenv("QT_QPA_PLATFORM").constData(),
        runs);
    std::printf("  median %.1f ms   max %.1f ms\n", bench::Percentile(ms, 50),
                bench::Percentile(ms, 100));
    bench::Result("startup_ms_median", bench::Percentile(ms, 50));
    bench::Result("startup_ms_max", bench::Percentile(ms, 100));
    return 0;
}
