// How well a 150 ms precise timer on the window's thread keeps its schedule while a table of
// 100,000 rows is exported in the background (against the recording "Excel.Application", so
// that only the program's own work is measured): the poll cycle's pacing during an export.
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "export/ExportJob.h"
#include "models/GridModel.h"
#include "tests/export/RecordingExcel.h"
#include "widgets/MessageBox.h"

namespace {

// Texts made on demand, like the window's history tables.
class HistoryLikeTable : public GridModel {
public:
    explicit HistoryLikeTable(int dataRows) : rows_(dataRows + 1) {}
    int ColCount() const override { return 4; }
    int RowCount() const override { return rows_; }
    void SetRowCount(int) override {}
    QString Cell(int col, int row) const override {
        static const QStringList header{"采样时间", "电压V", "温度℃", "状态"};
        if (row == 0) return header[col];
        switch (col) {
            case 0:
                return QDateTime::fromSecsSinceEpoch(1765000000 + row)
                    .toString(QStringLiteral("yyyy/MM/dd hh:mm:ss"));
            case 1:
                return QString::number(12 + (row % 10) / 10.0);
            case 2:
                return QString::number(20 + (row % 100) / 10.0);
            default:
                return QStringLiteral("正常");
        }
    }
    void SetCell(int, int, const QString&) override {}

private:
    int rows_;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int exports = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    messagebox::SetHook([](const QString& text, const QString&) {
        std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    });

    HistoryLikeTable table(100000);
    std::vector<double> deviations;
    std::vector<double> durations;
    QElapsedTimer clock;
    clock.start();
    for (int run = 0; run < exports; ++run) {
        auto recorder = std::make_shared<recording::Recorder>();
        recording::Install(recorder);
        QTimer poll;
        poll.setTimerType(Qt::PreciseTimer);
        poll.setInterval(150);
        qint64 last = -1;
        bool exporting = false;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            if (exporting && last >= 0) deviations.push_back(std::abs((now - last) / 1e6 - 150.0));
            last = now;
        });
        poll.start();
        // Let the timer settle, then export while it runs.
        QTimer::singleShot(400, [&] {
            exporting = true;
            const qint64 start = clock.nsecsElapsed();
            gridexport::StartGridExport(
                {&table}, nullptr, [&, start](const gridexport::JobResult&) {
                    durations.push_back((clock.nsecsElapsed() - start) / 1e6);
                    exporting = false;
                    app.quit();
                });
        });
        app.exec();
        recording::Uninstall();
    }

    // The same timer for as long without an export: what the machine itself allows.
    std::vector<double> idle;
    {
        QTimer poll;
        poll.setTimerType(Qt::PreciseTimer);
        poll.setInterval(150);
        qint64 last = -1;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            if (last >= 0) idle.push_back(std::abs((now - last) / 1e6 - 150.0));
            last = now;
            if (idle.size() >= deviations.size()) app.quit();
        });
        poll.start();
        app.exec();
    }
    std::sort(idle.begin(), idle.end());
    std::sort(deviations.begin(), deviations.end());
    std::sort(durations.begin(), durations.end());
    const double median = deviations.empty() ? 0 : deviations[deviations.size() / 2];
    const double worst = deviations.empty() ? 0 : deviations.back();
    std::printf(
        "%d exports of 100,000 x 4 cells, export %.0f ms (median), %zu timer periods during them\n",
        exports, durations[durations.size() / 2], deviations.size());
    std::printf(
        "150 ms precise timer on the window's thread: deviation median %.2f ms, max %.2f ms\n",
        median, worst);
    std::printf(
        "the same timer without an export (machine baseline): median %.2f ms, max %.2f ms\n",
        idle.empty() ? 0 : idle[idle.size() / 2], idle.empty() ? 0 : idle.back());
    std::printf("RESULT export_pacing_ms_median %.2f\n", median);
    std::printf("RESULT export_pacing_ms_max %.2f\n", worst);
    return 0;
}
