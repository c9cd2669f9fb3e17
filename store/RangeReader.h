#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "battery/BatteryId.h"

struct sqlite3;
struct sqlite3_stmt;

namespace store {

// One stored reading as the range reader hands it out: the row's values as they are in the
// file, unconverted, so a damaged row shows as what it is.
struct StoredRow {
    qint64 tMs = 0;
    qint64 status = 0;
    qint64 voltageDv = 0;
    qint64 temperatureDc = 0;
};

// Reads one battery's readings over a time range, straight from the (device, battery, time) key
// of the history file, for readers that reduce as the rows arrive (the trend plot). Opens the
// file read-only with a connection of its own on the thread that makes it, where it must stay;
// never creates or changes the file, and WAL lets it read while the writer writes.
class RangeReader {
public:
    explicit RangeReader(const QString& filePath);
    ~RangeReader();
    RangeReader(const RangeReader&) = delete;
    RangeReader& operator=(const RangeReader&) = delete;

    bool IsOpen() const { return db_ != nullptr; }
    bool IsReadOnly() const;
    QString ErrorText() const { return error_; }

    enum class Outcome { Done, Failed, Cancelled };
    // Hands the battery's rows in [fromMs, toMs] to `take` in ascending time, a few thousand at
    // a time, asking `cancelled` (when given) after each handful whether to go on.
    Outcome Read(battery::BatteryId battery, qint64 fromMs, qint64 toMs,
                 const std::function<void(std::span<const StoredRow>)>& take,
                 const std::function<bool()>& cancelled = {});

    // Time of the battery's oldest and newest stored row, if any: one key lookup each.
    std::optional<qint64> FirstTime(battery::BatteryId battery);
    std::optional<qint64> LastTime(battery::BatteryId battery);

    // Rows handed out since the reader was made.
    qint64 RowsRead() const { return rowsRead_; }

private:
    std::optional<qint64> TimeOf(sqlite3_stmt* statement, battery::BatteryId battery);
    void Close();

    sqlite3* db_ = nullptr;
    sqlite3_stmt* rows_ = nullptr;
    sqlite3_stmt* first_ = nullptr;
    sqlite3_stmt* last_ = nullptr;
    std::vector<StoredRow> chunk_;
    QString error_;
    qint64 rowsRead_ = 0;
};

}  // namespace store
