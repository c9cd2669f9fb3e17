#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <cstdint>
#include <optional>

#include "store/HistoryReader.h"

namespace store {

// "2026-12-08T21:55:08.123Z": RFC 3339, UTC, milliseconds.
QByteArray FormatUtcMillis(qint64 t_ms);

// Parses RFC 3339 ("2026-12-08T21:55:08Z", "...08.5+08:00") or a bare date "2026-12-08",
// which means local midnight at the start of that day. Nothing for anything else.
std::optional<qint64> ParseTimeArgument(const QString& text);
bool IsBareDate(const QString& text);

// One CSV line (with "\n") per reading: time,device,battery,voltage_v,temperature_c,status,
// status_text.
QByteArray CsvHeader();
void AppendCsvLine(QByteArray& out, const battery::Reading& reading);

QByteArray AlarmCsvHeader();  // time,device,battery,kind,state,value,user
void AppendAlarmCsvLine(QByteArray& out, const alarms::AlarmEvent& event);

struct CsvResult {
    bool ok = false;
    qint64 rows = 0;
    QString error;
};

// Streams the selected readings from `reader` to `out` in time order, in chunks, so memory
// stays flat for any range. `byteOrderMark`: start with a UTF-8 BOM (for files that
// spreadsheet programs open).
CsvResult ExportReadingsCsv(HistoryReader& reader, const ReadingFilter& filter, QIODevice& out,
                            bool byteOrderMark);
CsvResult ExportAlarmsCsv(HistoryReader& reader, qint64 fromMs, qint64 toMs, QIODevice& out,
                          bool byteOrderMark);

}  // namespace store
