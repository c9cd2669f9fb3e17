#include "store/RangeReader.h"

#include <sqlite3.h>

#include <QFile>

namespace store {
namespace {

constexpr char kReadBatterySql[] =
    "SELECT t_ms, status, voltage_dv, temperature_dc FROM readings "
    "WHERE device = ?1 AND battery = ?2 AND t_ms BETWEEN ?3 AND ?4 ORDER BY t_ms";
constexpr char kFirstTimeSql[] =
    "SELECT min(t_ms) FROM readings WHERE device = ?1 AND battery = ?2";
constexpr char kLastTimeSql[] = "SELECT max(t_ms) FROM readings WHERE device = ?1 AND battery = ?2";
constexpr int kBusyTimeoutMs = 2000;
// Rows handed out at once, and between two questions whether to go on.
constexpr std::size_t kChunkRows = 4096;

}  // namespace

RangeReader::RangeReader(const QString& filePath) {
    const QByteArray path = QFile::encodeName(filePath);
    // One thread uses the connection at a time, so SQLite's own locking of every call (a step
    // and four column reads per row) is left out.
    if (sqlite3_open_v2(path.constData(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK ||
        sqlite3_busy_timeout(db_, kBusyTimeoutMs) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, kReadBatterySql, -1, &rows_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, kFirstTimeSql, -1, &first_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, kLastTimeSql, -1, &last_, nullptr) != SQLITE_OK) {
        error_ = db_ != nullptr ? QString::fromUtf8(sqlite3_errmsg(db_))
                                : QStringLiteral("out of memory");
        Close();
    }
    chunk_.resize(kChunkRows);
}

RangeReader::~RangeReader() { Close(); }

void RangeReader::Close() {
    for (sqlite3_stmt* statement : {rows_, first_, last_}) sqlite3_finalize(statement);
    rows_ = first_ = last_ = nullptr;
    sqlite3_close(db_);
    db_ = nullptr;
}

bool RangeReader::IsReadOnly() const {
    return db_ != nullptr && sqlite3_db_readonly(db_, "main") == 1;
}

RangeReader::Outcome RangeReader::Read(battery::BatteryId battery, qint64 fromMs, qint64 toMs,
                                       const std::function<void(std::span<const StoredRow>)>& take,
                                       const std::function<bool()>& cancelled) {
    if (db_ == nullptr) return Outcome::Failed;
    if (fromMs > toMs) return Outcome::Done;
    sqlite3_reset(rows_);
    sqlite3_bind_int(rows_, 1, battery.device);
    sqlite3_bind_int(rows_, 2, battery.battery);
    sqlite3_bind_int64(rows_, 3, fromMs);
    sqlite3_bind_int64(rows_, 4, toMs);
    std::size_t filled = 0;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(rows_)) == SQLITE_ROW) {
        chunk_[filled++] = {sqlite3_column_int64(rows_, 0), sqlite3_column_int64(rows_, 1),
                            sqlite3_column_int64(rows_, 2), sqlite3_column_int64(rows_, 3)};
        if (filled < chunk_.size()) continue;
        take(std::span(chunk_.data(), filled));
        rowsRead_ += static_cast<qint64>(filled);
        filled = 0;
        if (cancelled && cancelled()) {
            sqlite3_reset(rows_);
            return Outcome::Cancelled;
        }
    }
    if (filled > 0) take(std::span(chunk_.data(), filled));
    rowsRead_ += static_cast<qint64>(filled);
    if (rc != SQLITE_DONE) error_ = QString::fromUtf8(sqlite3_errmsg(db_));
    sqlite3_reset(rows_);
    return rc == SQLITE_DONE ? Outcome::Done : Outcome::Failed;
}

std::optional<qint64> RangeReader::FirstTime(battery::BatteryId battery) {
    return TimeOf(first_, battery);
}

std::optional<qint64> RangeReader::LastTime(battery::BatteryId battery) {
    return TimeOf(last_, battery);
}

std::optional<qint64> RangeReader::TimeOf(sqlite3_stmt* statement, battery::BatteryId battery) {
    if (statement == nullptr) return std::nullopt;
    sqlite3_reset(statement);
    sqlite3_bind_int(statement, 1, battery.device);
    sqlite3_bind_int(statement, 2, battery.battery);
    std::optional<qint64> t;
    if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) != SQLITE_NULL)
        t = sqlite3_column_int64(statement, 0);
    sqlite3_reset(statement);
    return t;
}

}  // namespace store
