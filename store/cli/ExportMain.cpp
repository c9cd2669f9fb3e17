// batmon-export: writes the history store's readings (or alarm events) as CSV, or one discharge
// record as CSV or a PDF report.

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <memory>

#include "config/Log.h"
#include "report/DischargeCsv.h"
#include "report/DischargePdf.h"
#include "store/CsvExport.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/cli/ExportOptions.h"

namespace {

int Fail(const QString& message) {
    qCCritical(StoreLog).noquote() << QStringLiteral("batmon-export: ") + message;
    return 1;
}

// One discharge record: a PDF report, or CSV into the output file or standard output.
int ExportDischarge(store::HistoryReader& reader, const QString& historyFile,
                    const store::ExportOptions& options) {
    const std::optional<alarms::DischargeRecord> record = reader.Discharge(*options.discharge);
    if (!record)
        return Fail(reader.ErrorText().isEmpty()
                        ? QStringLiteral("no discharge record %1").arg(*options.discharge)
                        : reader.ErrorText());
    QString error;
    if (!options.pdfFile.isEmpty()) {
        if (!report::WriteDischargePdf(*record, options.site, historyFile, options.pdfFile, &error))
            return Fail(QStringLiteral("cannot write %1: %2").arg(options.pdfFile, error));
        return 0;
    }
    QSaveFile file(options.outputFile);
    QFile standardOutput;
    QIODevice* out = &file;
    if (options.outputFile.isEmpty()) {
        if (!standardOutput.open(stdout, QIODevice::WriteOnly))
            return Fail(QStringLiteral("cannot write to standard output"));
        out = &standardOutput;
    } else if (!file.open(QIODevice::WriteOnly)) {
        return Fail(
            QStringLiteral("cannot write %1: %2").arg(options.outputFile, file.errorString()));
    }
    if (!report::WriteDischargeCsv(*record, options.site, *out) ||
        (!options.outputFile.isEmpty() && !file.commit()))
        return Fail(QStringLiteral("cannot write %1").arg(options.outputFile));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    // A PDF report's curves are drawn by the trend plot, a widget: it needs an application with
    // a platform, and this program never shows a window.
    const bool pdf = arguments.contains(QStringLiteral("--pdf"));
    if (pdf && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::unique_ptr<QCoreApplication> app =
        pdf ? std::make_unique<QApplication>(argc, argv)
            : std::make_unique<QCoreApplication>(argc, argv);
    const QString program = QStringLiteral("batmon-export");
    QCoreApplication::setApplicationName(program);
    config::InstallLogHandler(config::LogStyle::Plain);
    const auto parsed = store::ParseExportOptions(arguments);
    if (!parsed.options) return config::Finish(program, parsed.exit);
    const store::ExportOptions& options = *parsed.options;

    const QString historyFile = store::HistoryFilePath(options.dataDir);
    if (!QFileInfo::exists(historyFile))
        return Fail(QStringLiteral("no history file: %1 does not exist").arg(historyFile));
    store::HistoryReader reader(historyFile);
    if (!reader.IsOpen())
        return Fail(QStringLiteral("cannot read the history file %1: %2")
                        .arg(historyFile, reader.ErrorText()));

    if (options.discharge) return ExportDischarge(reader, historyFile, options);

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
