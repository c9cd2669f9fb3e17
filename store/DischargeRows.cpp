#include "store/DischargeRows.h"

#include <QSqlQuery>
#include <QVariant>

namespace store {
namespace {

QVariant Optional(const std::optional<std::int64_t>& value) {
    return value ? QVariant(qint64{*value}) : QVariant();
}

std::optional<std::int64_t> OptionalMs(const QVariant& value) {
    if (value.isNull()) return std::nullopt;
    return value.toLongLong();
}

constexpr const char* kDischargeColumns =
    "id, device, start_ms, end_ms, end_voltage, required_ms, first_at_end";

alarms::DischargeRecord RecordFrom(const QSqlQuery& q) {
    alarms::DischargeRecord record;
    record.id = q.value(0).toLongLong();
    record.device = static_cast<std::uint8_t>(q.value(1).toUInt());
    record.startMs = q.value(2).toLongLong();
    record.endMs = OptionalMs(q.value(3));
    record.endVoltageV = q.value(4).toDouble();
    record.requiredMs = OptionalMs(q.value(5));
    if (!q.value(6).isNull())
        record.firstAtEnd =
            battery::BatteryId{record.device, static_cast<std::uint8_t>(q.value(6).toUInt())};
    return record;
}

bool LoadBatteries(QSqlDatabase& db, alarms::DischargeRecord& record, QString* error) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT battery, start_v, min_v, end_reached_ms, max_temperature, deviation_v"
        " FROM discharge_batteries WHERE discharge_id = ? ORDER BY battery"));
    q.addBindValue(qint64{record.id});
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    while (q.next()) {
        alarms::BatteryDischarge b;
        b.battery = {record.device, static_cast<std::uint8_t>(q.value(0).toUInt())};
        b.startV = q.value(1).toDouble();
        b.minV = q.value(2).toDouble();
        b.endReachedMs = OptionalMs(q.value(3));
        b.maxTemperatureC = q.value(4).toDouble();
        b.deviationV = q.value(5).toDouble();
        if (battery::IsBusBattery(b.battery)) record.batteries.push_back(b);
    }
    return true;
}

std::vector<alarms::DischargeRecord> Load(QSqlDatabase& db, const QString& where,
                                          const QVariant& bound, QString* error) {
    std::vector<alarms::DischargeRecord> records;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM discharges %2 ORDER BY start_ms DESC, id DESC")
                  .arg(QLatin1String(kDischargeColumns), where));
    if (bound.isValid()) q.addBindValue(bound);
    if (!q.exec()) {
        *error = q.lastError().text();
        return {};
    }
    while (q.next()) {
        alarms::DischargeRecord record = RecordFrom(q);
        if (battery::IsDevice(record.device)) records.push_back(std::move(record));
    }
    for (alarms::DischargeRecord& record : records) {
        if (!LoadBatteries(db, record, error)) return {};
    }
    return records;
}

}  // namespace

qint64 SaveDischarge(QSqlDatabase& db, const alarms::DischargeRecord& record, QSqlError* error) {
    QSqlQuery upsert(db);
    upsert.prepare(
        QStringLiteral("INSERT INTO discharges (device, start_ms, end_ms, end_voltage, required_ms,"
                       " first_at_end, weakest) VALUES (?, ?, ?, ?, ?, ?, ?)"
                       " ON CONFLICT (device, start_ms) DO UPDATE SET end_ms = excluded.end_ms,"
                       " end_voltage = excluded.end_voltage, required_ms = excluded.required_ms,"
                       " first_at_end = excluded.first_at_end, weakest = excluded.weakest"
                       " RETURNING id"));
    const alarms::BatteryDischarge* weakest = record.Weakest();
    upsert.addBindValue(record.device);
    upsert.addBindValue(qint64{record.startMs});
    upsert.addBindValue(Optional(record.endMs));
    upsert.addBindValue(record.endVoltageV);
    upsert.addBindValue(Optional(record.requiredMs));
    upsert.addBindValue(record.firstAtEnd ? QVariant(record.firstAtEnd->battery) : QVariant());
    upsert.addBindValue(weakest ? QVariant(weakest->battery.battery) : QVariant());
    if (!upsert.exec() || !upsert.next()) {
        *error = upsert.lastError();
        return 0;
    }
    const qint64 id = upsert.value(0).toLongLong();
    upsert.finish();

    QSqlQuery clear(db);
    clear.prepare(QStringLiteral("DELETE FROM discharge_batteries WHERE discharge_id = ?"));
    clear.addBindValue(id);
    if (!clear.exec()) {
        *error = clear.lastError();
        return 0;
    }
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral(
        "INSERT INTO discharge_batteries (discharge_id, battery, start_v, min_v,"
        " end_reached_ms, max_temperature, deviation_v) VALUES (?, ?, ?, ?, ?, ?, ?)"));
    for (const alarms::BatteryDischarge& b : record.batteries) {
        insert.bindValue(0, id);
        insert.bindValue(1, b.battery.battery);
        insert.bindValue(2, b.startV);
        insert.bindValue(3, b.minV);
        insert.bindValue(4, Optional(b.endReachedMs));
        insert.bindValue(5, b.maxTemperatureC);
        insert.bindValue(6, b.deviationV);
        if (!insert.exec()) {
            *error = insert.lastError();
            return 0;
        }
    }
    return id;
}

std::vector<alarms::DischargeRecord> LoadDischarges(QSqlDatabase& db, bool runningOnly,
                                                    QString* error) {
    return Load(db, runningOnly ? QStringLiteral("WHERE end_ms IS NULL") : QString(), {}, error);
}

std::optional<alarms::DischargeRecord> LoadDischarge(QSqlDatabase& db, qint64 id, QString* error) {
    std::vector<alarms::DischargeRecord> found =
        Load(db, QStringLiteral("WHERE id = ?"), QVariant(id), error);
    if (found.empty()) return std::nullopt;
    return std::move(found.front());
}

}  // namespace store
