// batmon-export: writes the history store's readings (or alarm events) as CSV.

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "config/Log.h"
#include "store/CsvExport.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/cli/ExportOptions.h"

namespace {

int Fail(const QString& message) {
    qCCritical(StoreLog).noquote() << QStringLiteral("batmon-export: ") + message;
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString program = QStringLiteral("batmon-export");
    QCoreApplication::setApplicationName(program);
    config::InstallLogHandler(config::LogStyle::Plain);
    const auto parsed = store::ParseExportOptions(QCoreApplication::arguments());
    if (!parsed.options) return config::Finish(program, parsed.exit);
    const store::ExportOptions& options = *parsed.options;

    const QString historyFile = store::HistoryFilePath(options.dataDir);
    if (!QFileInfo::exists(historyFile))
        return Fail(QStringLiteral("no history file: %1 does not exist").arg(historyFile));
    store::HistoryReader reader(historyFile);
    if (!reader.IsOpen())
        return Fail(QStringLiteral("cannot read the history file %1: %2")
                        .arg(historyFile, reader.ErrorText()));

    // A file is written under a temporary name and renamed when complete, so a failed export
    // never leaves a truncated file that looks like a finished one.
    QSaveFile file(options.outputFile);
    QFile standardOutput;
    QIODevice* out = &file;
    if (options.outputFile.isEmpty()) {
        if (!standardOutput.open(stdout, QIODevice::WriteOnly))
            return Fail(QStringLiteral("cannot write to standard output: %1")
                            .arg(standardOutput.errorString()));
        out = &standardOutput;
    } else if (!file.open(QIODevice::WriteOnly)) {
        return Fail(
            QStringLiteral("cannot write %1: %2").arg(options.outputFile, file.errorString()));
    }
    const bool bom = !options.outputFile.isEmpty();
    const store::CsvResult result =
        options.alarms
            ? store::ExportAlarmsCsv(reader, options.filter.fromMs, options.filter.toMs, *out, bom)
            : store::ExportReadingsCsv(reader, options.filter, *out, bom);
    if (!result.ok) {
        if (!options.outputFile.isEmpty()) file.cancelWriting();
        return Fail(QStringLiteral("export failed: %1").arg(result.error));
    }
    if (!options.outputFile.isEmpty() && !file.commit())
        return Fail(
            QStringLiteral("cannot write %1: %2").arg(options.outputFile, file.errorString()));
    standardOutput.close();
    qCInfo(StoreLog).noquote()
        << QStringLiteral("batmon-export: %1 rows").arg(static_cast<long long>(result.rows));
    return 0;
}
