#pragma once

#include <QString>
#include <QStringList>

#include "config/CommandLine.h"
#include "store/HistoryReader.h"

namespace store {

struct ExportOptions {
    QString dataDir;  // resolved: --data-dir or the default folder
    ReadingFilter filter;
    bool alarms = false;  // export the alarm events instead of readings
    QString outputFile;   // empty: standard output
};

// Parses batmon-export's arguments (the program's name first).
config::Parsed<ExportOptions> ParseExportOptions(const QStringList& arguments);

}  // namespace store
