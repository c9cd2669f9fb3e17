// batmon-export: writes the history store's readings (or alarm events) as CSV.

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <cstdio>

#include "store/CsvExport.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/cli/ExportOptions.h"

namespace {

int Fail(const QString& message, int code) {
    std::fprintf(stderr, "batmon-export: %s\n", qUtf8Printable(message));
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const auto parsed = store::ParseExportOptions(app.arguments().mid(1));
    if (const QString* error = std::get_if<QString>(&parsed)) {
        std::fprintf(stderr, "batmon-export: %s\n\n%s", qUtf8Printable(*error),
                     qUtf8Printable(store::ExportUsage()));
        return 2;
    }
    const store::ExportOptions& options = std::get<store::ExportOptions>(parsed);
    if (options.help) {
        std::fputs(qUtf8Printable(store::ExportUsage()), stdout);
        return 0;
    }

    store::HistoryReader reader(store::HistoryFilePath(options.dataDir));
    if (!reader.IsOpen()) return Fail(reader.ErrorText(), 1);

    // A file is written under a temporary name and renamed when complete, so a failed export
    // never leaves a truncated file that looks like a finished one.
    QSaveFile file(options.outputFile);
    QFile standardOutput;
    QIODevice* out = &file;
    if (options.outputFile.isEmpty()) {
        if (!standardOutput.open(stdout, QIODevice::WriteOnly)) {
            return Fail(standardOutput.errorString(), 1);
        }
        out = &standardOutput;
    } else if (!file.open(QIODevice::WriteOnly)) {
        return Fail(QStringLiteral("无法写入 %1: %2").arg(options.outputFile, file.errorString()),
                    1);
    }
    const bool bom = !options.outputFile.isEmpty();
    const store::CsvResult result =
        options.alarms ? store::ExportAlarmsCsv(reader, options.filter.from_ms,
                                                options.filter.to_ms, *out, bom)
                       : store::ExportReadingsCsv(reader, options.filter, *out, bom);
    if (!result.ok) {
        if (!options.outputFile.isEmpty()) file.cancelWriting();
        return Fail(QStringLiteral("导出失败: %1").arg(result.error), 1);
    }
    if (!options.outputFile.isEmpty() && !file.commit()) {
        return Fail(QStringLiteral("无法写入 %1: %2").arg(options.outputFile, file.errorString()),
                    1);
    }
    standardOutput.close();
    std::fprintf(stderr, "batmon-export: %lld 行\n", static_cast<long long>(result.rows));
    return 0;
}
