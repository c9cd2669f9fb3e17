#include "store/HistoryReader.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <atomic>

#include "store/AlarmRow.h"
#include "store/DischargeRows.h"
#include "store/Schema.h"

namespace store {
namespace {

std::atomic<int> connectionCounter{0};

battery::Reading ReadingFrom(const QSqlQuery& q, std::uint8_t device, std::uint8_t battery) {
    battery::Reading r;
    r.tMs = q.value(0).toLongLong();
    r.device = device;
    r.battery = battery;
    r.status = static_cast<std::uint8_t>(q.value(1).toUInt());
    r.voltageDv = static_cast<std::uint8_t>(q.value(2).toUInt());
    r.temperatureDc = static_cast<std::uint16_t>(q.value(3).toUInt());
    return r;
}

// One battery's readings of a range, as a cursor that holds its current row.
struct BatteryCursor {
    QSqlQuery query;
    std::uint8_t device;
    std::uint8_t battery;
    battery::Reading head{};
    bool valid = false;

    void Advance() {
        valid = query.next();
        if (valid) head = ReadingFrom(query, device, battery);
    }
};

}  // namespace

HistoryReader::HistoryReader(const QString& filePath)
    : connectionName_(
          QStringLiteral("batmon-store-reader-%1").arg(connectionCounter.fetch_add(1))) {
    if (!QFileInfo::exists(filePath)) {
        errorText_ = QStringLiteral("历史记录文件不存在: %1").arg(filePath);
        return;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
    db.setDatabaseName(filePath);
    if (!db.open()) {
        // A folder this user cannot write to can still be read.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            errorText_ = db.lastError().text();
            return;
        }
    }
    QSqlQuery pragma(db);
    pragma.exec(QStringLiteral("PRAGMA query_only = 1"));
    pragma.exec(QStringLiteral("PRAGMA busy_timeout = 2000"));
    const int version = ReadSchemaVersion(db);
    if (version < 0) {
        errorText_ = QStringLiteral("无法读取历史记录文件: %1").arg(filePath);
        return;
    }
    if (version == 0 || version > kSchemaVersion) {
        errorText_ =
            QStringLiteral("历史记录文件的版本 %1 不受支持: %2").arg(version).arg(filePath);
        return;
    }
    open_ = true;
}

HistoryReader::~HistoryReader() {
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
        if (db.isValid()) db.close();
    }
    QSqlDatabase::removeDatabase(connectionName_);
}

bool HistoryReader::ForEachReading(const ReadingFilter& filter,
                                   const std::function<bool(const battery::Reading&)>& row) {
    if (!open_) return false;
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    // One cursor per battery walks the (device, battery, t_ms) key in time order; merging the
    // cursors gives all batteries in time order without sorting or holding the range.
    db.transaction();  // one consistent snapshot for all cursors
    std::vector<BatteryCursor> cursors;
    for (std::uint8_t device : battery::kDevices) {
        if (filter.device && *filter.device != device) continue;
        for (std::uint8_t battery = 0; battery < battery::kBatteriesPerDevice; ++battery) {
            if (filter.battery && *filter.battery != battery) continue;
            if (!filter.batteries.empty() &&
                std::find(filter.batteries.begin(), filter.batteries.end(),
                          battery::BatteryId{device, battery}) == filter.batteries.end())
                continue;
            BatteryCursor cursor{QSqlQuery(db), device, battery};
            cursor.query.setForwardOnly(true);
            cursor.query.prepare(QStringLiteral(
                "SELECT t_ms, status, voltage_dv, temperature_dc FROM readings "
                "WHERE device = ? AND battery = ? AND t_ms BETWEEN ? AND ? ORDER BY t_ms"));
            cursor.query.addBindValue(device);
            cursor.query.addBindValue(battery);
            cursor.query.addBindValue(filter.fromMs);
            cursor.query.addBindValue(filter.toMs);
            if (!cursor.query.exec()) {
                errorText_ = cursor.query.lastError().text();
                cursors.clear();
                db.rollback();
                return false;
            }
            cursor.Advance();
            if (cursor.valid) cursors.push_back(std::move(cursor));
        }
    }
    bool ok = true;
    while (!cursors.empty()) {
        std::size_t first = 0;
        for (std::size_t i = 1; i < cursors.size(); ++i) {
            if (cursors[i].head.tMs < cursors[first].head.tMs) first = i;
        }
        if (!row(cursors[first].head)) break;
        cursors[first].Advance();
        if (!cursors[first].valid) {
            if (cursors[first].query.lastError().isValid()) {
                errorText_ = cursors[first].query.lastError().text();
                ok = false;
                break;
            }
            cursors.erase(cursors.begin() + static_cast<std::ptrdiff_t>(first));
        }
    }
    cursors.clear();
    db.rollback();
    return ok;
}

std::vector<battery::Reading> HistoryReader::LoadSince(qint64 sinceMs) {
    std::vector<battery::Reading> readings;
    ReadingFilter filter;
    filter.fromMs = sinceMs;
    ForEachReading(filter, [&](const battery::Reading& r) {
        readings.push_back(r);
        return true;
    });
    return readings;
}

std::vector<battery::Reading> HistoryReader::LoadRecentHours(int hours, qint64 nowMs) {
    if (hours <= 0) return {};
    return LoadSince(nowMs - qint64{hours} * 3600 * 1000);
}

std::optional<qint64> HistoryReader::LastReadingMs(std::uint8_t device, std::uint8_t battery) {
    if (!open_) return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(connectionName_, false));
    query.prepare(
        QStringLiteral("SELECT MAX(t_ms) FROM readings WHERE device = ? AND battery = ?"));
    query.addBindValue(int{device});
    query.addBindValue(int{battery});
    if (!query.exec()) {
        errorText_ = query.lastError().text();
        return std::nullopt;
    }
    if (!query.next() || query.value(0).isNull()) return std::nullopt;
    return query.value(0).toLongLong();
}

bool HistoryReader::ForEachAlarm(qint64 fromMs, qint64 toMs,
                                 const std::function<bool(const alarms::AlarmEvent&)>& row) {
    if (!open_) return false;
    QSqlQuery query(QSqlDatabase::database(connectionName_, false));
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT %1 FROM alarms WHERE t_ms BETWEEN ? AND ? ORDER BY t_ms, id")
            .arg(AlarmColumns()));
    query.addBindValue(fromMs);
    query.addBindValue(toMs);
    if (!query.exec()) {
        errorText_ = query.lastError().text();
        return false;
    }
    while (query.next()) {
        const std::optional<alarms::AlarmEvent> event = AlarmFromRow(query, 0);
        if (event && !row(*event)) break;
    }
    return true;
}

bool HistoryReader::ForEachAlarmRow(
    const QString& where, const std::vector<qint64>& binds,
    const std::function<bool(qint64 id, const alarms::AlarmEvent&)>& row) {
    if (!open_) return false;
    QSqlQuery query(QSqlDatabase::database(connectionName_, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT id, %1 FROM alarms WHERE %2").arg(AlarmColumns(), where));
    for (const qint64 value : binds) query.addBindValue(value);
    if (!query.exec()) {
        errorText_ = query.lastError().text();
        return false;
    }
    while (query.next()) {
        const std::optional<alarms::AlarmEvent> event = AlarmFromRow(query, 1);
        if (event && !row(query.value(0).toLongLong(), *event)) break;
    }
    return true;
}

bool HistoryReader::ForEachAlarmAfter(
    qint64 afterId, int limit,
    const std::function<bool(qint64 id, const alarms::AlarmEvent&)>& row) {
    return ForEachAlarmRow(QStringLiteral("id > ? ORDER BY id LIMIT ?"), {afterId, limit}, row);
}

bool HistoryReader::ForEachAlarmWithId(
    qint64 fromMs, qint64 toMs,
    const std::function<bool(qint64 id, const alarms::AlarmEvent&)>& row) {
    return ForEachAlarmRow(QStringLiteral("t_ms BETWEEN ? AND ? ORDER BY t_ms, id"), {fromMs, toMs},
                           row);
}

std::optional<qint64> HistoryReader::LastAlarmId() {
    if (!open_) return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(connectionName_, false));
    if (!query.exec(QStringLiteral("SELECT coalesce(max(id), 0) FROM alarms")) || !query.next()) {
        errorText_ = query.lastError().text();
        return std::nullopt;
    }
    return query.value(0).toLongLong();
}

std::vector<alarms::DischargeRecord> HistoryReader::Discharges(bool runningOnly) {
    if (!open_) return {};
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    return LoadDischarges(db, runningOnly, &errorText_);
}

std::optional<alarms::DischargeRecord> HistoryReader::Discharge(qint64 id) {
    if (!open_) return std::nullopt;
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    return LoadDischarge(db, id, &errorText_);
}

std::optional<OutboxPage<OutboxEntry>> HistoryReader::ReadOutbox(qint64 afterSeq, int limit) {
    if (!open_) return std::nullopt;
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    return ReadReadingOutbox(db, afterSeq, limit, &errorText_);
}

std::optional<OutboxPage<AlarmOutboxEntry>> HistoryReader::ReadAlarmOutbox(const QString& channel,
                                                                           qint64 afterSeq,
                                                                           int limit) {
    if (!open_) return std::nullopt;
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    return store::ReadAlarmOutbox(db, channel, afterSeq, limit, &errorText_);
}

}  // namespace store
