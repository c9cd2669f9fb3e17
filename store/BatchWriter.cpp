#include "store/BatchWriter.h"

#include <QVariant>

#include "store/AlarmRow.h"
#include "store/DischargeRows.h"

namespace store {
namespace {

// How far a reading moves on when its battery's millisecond is taken, before it counts as a
// fault of its own.
constexpr int kMaxNudgeMs = 1000;

}  // namespace

BatchWriter::BatchWriter(const QSqlDatabase& db)
    : db_(db),
      control_(db_),
      insertReading_(db_),
      insertReadingOutbox_(db_),
      insertAlarm_(db_),
      insertAlarmOutbox_(db_) {
    insertReading_.prepare(
        QStringLiteral("INSERT OR IGNORE INTO readings (device, battery, t_ms, status, "
                       "voltage_dv, temperature_dc) VALUES (?, ?, ?, ?, ?, ?)"));
    insertReadingOutbox_.prepare(
        QStringLiteral("INSERT INTO mqtt_outbox (device, battery, t_ms) VALUES (?, ?, ?)"));
    insertAlarm_.prepare(QStringLiteral("INSERT INTO alarms (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
                             .arg(AlarmColumns()));
    insertAlarmOutbox_.prepare(
        QStringLiteral("INSERT INTO alarm_outbox (channel, alarm_id) VALUES (?, ?)"));
}

bool BatchWriter::Write(std::span<const battery::Reading> readings,
                        std::span<const alarms::AlarmEvent> events,
                        std::span<const alarms::DischargeRecord> discharges,
                        const OutboxChannels& outbox, OutboxBatch* added, QSqlError* error) {
    // BEGIN and COMMIT as statements of their own: QSqlDatabase::commit() reports a failure
    // without SQLite's error code, which tells a full disk from the rest.
    if (!control_.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        *error = control_.lastError();
        return false;
    }
    OutboxBatch batch;
    bool ok = true;
    for (const battery::Reading& r : readings) {
        // The file holds only the polled batteries; anything else could never be written and
        // must not hold up the readings behind it.
        if (!battery::IsBusBattery(r.Id())) continue;
        if (!(ok = WriteReading(r, outbox.readings, &batch, error))) break;
    }
    for (std::size_t i = 0; ok && i < events.size(); ++i)
        ok = WriteAlarm(events[i], outbox, &batch, error);
    for (std::size_t i = 0; ok && i < discharges.size(); ++i)
        ok = SaveDischarge(db_, discharges[i], error) != 0;
    if (ok && !control_.exec(QStringLiteral("COMMIT"))) {
        *error = control_.lastError();
        ok = false;
    }
    if (!ok) {
        control_.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    *added = std::move(batch);
    return true;
}

// A reading whose battery and millisecond are taken already (the clock was set back) moves on
// by a millisecond instead of replacing or losing either one.
bool BatchWriter::WriteReading(const battery::Reading& r, bool outbox, OutboxBatch* added,
                               QSqlError* error) {
    qint64 t = r.tMs;
    for (int nudge = 0;; ++nudge, ++t) {
        insertReading_.bindValue(0, r.device);
        insertReading_.bindValue(1, r.battery);
        insertReading_.bindValue(2, t);
        insertReading_.bindValue(3, r.status);
        insertReading_.bindValue(4, r.voltageDv);
        insertReading_.bindValue(5, r.temperatureDc);
        if (!insertReading_.exec()) {
            *error = insertReading_.lastError();
            return false;
        }
        if (insertReading_.numRowsAffected() > 0) break;
        if (nudge >= kMaxNudgeMs) {
            *error = QSqlError(QString(), QStringLiteral("时间戳冲突"));
            return false;
        }
    }
    if (!outbox) return true;
    insertReadingOutbox_.bindValue(0, r.device);
    insertReadingOutbox_.bindValue(1, r.battery);
    insertReadingOutbox_.bindValue(2, t);
    if (!insertReadingOutbox_.exec()) {
        *error = insertReadingOutbox_.lastError();
        return false;
    }
    battery::Reading stored = r;
    stored.tMs = t;
    added->readings.push_back({insertReadingOutbox_.lastInsertId().toLongLong(), stored});
    return true;
}

bool BatchWriter::WriteAlarm(const alarms::AlarmEvent& event, const OutboxChannels& outbox,
                             OutboxBatch* added, QSqlError* error) {
    BindAlarm(insertAlarm_, 0, event);
    if (!insertAlarm_.exec()) {
        *error = insertAlarm_.lastError();
        return false;
    }
    const qint64 alarmId = insertAlarm_.lastInsertId().toLongLong();
    for (const QString& channel : outbox.alarmChannels) {
        // A shelved alarm notifies nobody; the broker still records what happened to it.
        if (event.shelved && channel != kMqttChannel) continue;
        insertAlarmOutbox_.bindValue(0, channel);
        insertAlarmOutbox_.bindValue(1, alarmId);
        if (!insertAlarmOutbox_.exec()) {
            *error = insertAlarmOutbox_.lastError();
            return false;
        }
        added->alarms.push_back({insertAlarmOutbox_.lastInsertId().toLongLong(), channel, event});
    }
    return true;
}

}  // namespace store
