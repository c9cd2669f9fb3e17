#include "app/TrendCsvExport.h"

#include <QObject>
#include <QSaveFile>
#include <QWidget>
#include <utility>

#include "store/CsvExport.h"
#include "store/HistoryReader.h"
#include "threads/Worker.h"
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

// Writes the file on a thread of its own.
class CsvWriter : public QObject {
    Q_OBJECT
public:
    void Write(const QString& storeFile, const QString& target,
               const store::ReadingFilter& filter) {
        emit Written(threads::Handed<store::CsvResult>(WriteCsv(storeFile, target, filter)));
    }

signals:
    void Written(const threads::Handed<store::CsvResult>& result);
};

// One export, on the window's thread: owns the writer's thread, tells the operator how it went
// and goes. A child of the window: a window closed first waits for the file to be complete and
// says nothing.
class CsvExport : public QObject {
public:
    CsvExport(QWidget* window, QString target)
        : QObject(window), window_(window), target_(std::move(target)) {
        connect(writer_.Worker(), &CsvWriter::Written, this,
                [this](const threads::Handed<store::CsvResult>& result) { Report(result.Get()); });
    }

    void Start(const QString& storeFile, const store::ReadingFilter& filter) {
        writer_.Post([storeFile, target = target_, filter](CsvWriter& writer) {
            writer.Write(storeFile, target, filter);
        });
    }

private:
    void Report(const store::CsvResult& result) {
        deleteLater();
        messagebox::Show(window_,
                         result.ok
                             ? QStringLiteral("已导出 %1 条记录到 %2").arg(result.rows).arg(target_)
                             : QStringLiteral("导出失败：%1").arg(result.error),
                         QStringLiteral("提示"));
    }

    QWidget* window_;
    QString target_;
    threads::WorkerThread<CsvWriter> writer_{QStringLiteral("trend-csv")};
};

}  // namespace

void ExportTrendCsv(QWidget* parent, const QString& storeFile,
                    const std::vector<battery::BatteryId>& batteries, const TimeRange& range) {
    if (batteries.empty()) return;
    const QString target =
        filedialog::SaveFileName(parent, QStringLiteral("导出CSV"),
                                 QStringLiteral("batmon-trend.csv"), QStringLiteral("CSV (*.csv)"));
    if (target.isEmpty()) return;

    store::ReadingFilter filter;
    filter.fromMs = range.fromMs;
    filter.toMs = range.toMs;
    for (const battery::BatteryId& id : batteries) filter.batteries.push_back(id);

    (new CsvExport(parent, target))->Start(storeFile, filter);
}

#include "TrendCsvExport.moc"
