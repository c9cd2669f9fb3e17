#include "app/TrendCsvExport.h"

#include <QPointer>
#include <QSaveFile>
#include <QThread>
#include <QWidget>
#include <memory>
#include <mutex>

#include "store/CsvExport.h"
#include "store/HistoryReader.h"
#include "widgets/FileDialog.h"
#include "widgets/MessageBox.h"

namespace {

store::CsvResult WriteCsv(const QString& storeFile, const QString& target,
                          const store::ReadingFilter& filter) {
    store::HistoryReader reader(storeFile);
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly)) return store::CsvResult{false, 0, file.errorString()};
    store::CsvResult result = store::ExportReadingsCsv(reader, filter, file, true);
    if (result.ok && !file.commit()) result = store::CsvResult{false, 0, file.errorString()};
    if (!result.ok) file.cancelWriting();
    return result;
}

}  // namespace

void ExportTrendCsv(QWidget* parent, const QString& storeFile,
                    const std::vector<battery::BatteryId>& batteries, const TimeRange& range) {
    if (batteries.empty()) return;
    const QString target =
        filedialog::SaveFileName(parent, QStringLiteral("导出CSV"),
                                 QStringLiteral("batmon-trend.csv"), QStringLiteral("CSV (*.csv)"));
    if (target.isEmpty()) return;

    store::ReadingFilter filter;
    filter.from_ms = range.fromMs;
    filter.to_ms = range.toMs;
    for (const battery::BatteryId& id : batteries)
        filter.batteries.emplace_back(static_cast<std::uint8_t>(id.device),
                                      static_cast<std::uint8_t>(id.battery));

    // The worker's result goes back under a lock: the finished signal crosses threads through
    // the event queue, which is no synchronisation a thread checker can see.
    struct Outcome {
        std::mutex lock;
        store::CsvResult result;
    };
    auto outcome = std::make_shared<Outcome>();
    QThread* worker = QThread::create([storeFile, target, filter, outcome] {
        store::CsvResult written = WriteCsv(storeFile, target, filter);
        const std::lock_guard guard(outcome->lock);
        outcome->result = std::move(written);
    });
    QObject::connect(
        worker, &QThread::finished, parent,
        [window = QPointer<QWidget>(parent), worker, outcome, target] {
            worker->deleteLater();
            if (!window) return;
            store::CsvResult written;
            {
                const std::lock_guard guard(outcome->lock);
                written = outcome->result;
            }
            const store::CsvResult* result = &written;
            messagebox::Show(
                window,
                result->ok ? QStringLiteral("已导出 %1 条记录到 %2").arg(result->rows).arg(target)
                           : QStringLiteral("导出失败：%1").arg(result->error),
                QStringLiteral("提示"));
        });
    worker->start();
}
