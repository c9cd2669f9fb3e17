#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "config/CommandLine.h"
#include "store/HistoryReader.h"

namespace store {

struct ExportOptions {
    QString dataDir;  // resolved: --data-dir or the default folder
    ReadingFilter filter;
    bool alarms = false;  // export the alarm events instead of readings
    QString outputFile;   // empty: standard output
    // One discharge record instead (its number in the store): as CSV, or as a PDF report into
    // `pdfFile`; `site` names the room in the report (default: the host name).
    std::optional<qint64> discharge;
    QString pdfFile;
    QString site;
};

// Parses batmon-export's arguments (the program's name first).
config::Parsed<ExportOptions> ParseExportOptions(const QStringList& arguments);

}  // namespace store
