#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <variant>

#include "store/HistoryReader.h"

namespace store {

struct ExportOptions {
    QString dataDir;  // resolved: --data-dir or the default folder
    ReadingFilter filter;
    bool alarms = false;  // export the alarm events instead of readings
    QString outputFile;   // empty: standard output
    bool help = false;
};

// Parses batmon-export's arguments (without the program name); an error text for the
// operator when they are wrong.
std::variant<ExportOptions, QString> ParseExportOptions(const QStringList& arguments);

QString ExportUsage();

}  // namespace store
